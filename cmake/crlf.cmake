# Writes IN to OUT as Windows text: CR LF line ends, and the hyphens and
# minus signs a UTF-8 rendering of a manual page may hold as ASCII ones, so
# that commands copied from it work. With MANPAGE set, IN is a manual page
# as a terminal shows it, whose header and footer lines go.
#   cmake -DIN=file -DOUT=file.txt [-DMANPAGE=1] -P crlf.cmake
file(READ "${IN}" text)
if(MANPAGE)
  string(FIND "${text}" "\n" header)
  string(SUBSTRING "${text}" ${header} -1 text)
  string(STRIP "${text}" text)
  string(FIND "${text}" "\n" footer REVERSE)
  string(SUBSTRING "${text}" 0 ${footer} text)
  string(STRIP "${text}" text)
  string(APPEND text "\n")
endif()
string(REPLACE "‐" "-" text "${text}")
string(REPLACE "−" "-" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
