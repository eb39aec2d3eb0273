# The Windows console program, built with MinGW-w64 on the msvcrt.dll runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The C++ and GCC runtimes go inside the .exe: no DLLs beside it. ASLR and
# DEP, which newer MinGW linkers set by default. No build time in the
# header: one commit builds to the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-static -Wl,--dynamicbase,--nxcompat,--high-entropy-va,--no-insert-timestamp")
