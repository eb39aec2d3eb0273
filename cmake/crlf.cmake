# Writes IN to OUT as Windows text: CR LF line ends, and the hyphens and
# minus signs a UTF-8 rendering of a manual page may hold as ASCII ones, so
# that commands copied from it work.
#   cmake -DIN=file -DOUT=file.txt -P crlf.cmake
file(READ "${IN}" text)
string(REPLACE "‐" "-" text "${text}")
string(REPLACE "−" "-" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
