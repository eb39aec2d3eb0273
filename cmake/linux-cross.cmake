# Linux on another processor, built with Debian's cross compiler for
# ${triple} and run under qemu-${qemu} with the libraries Debian installs
# for that processor beside this one's (libc6:armhf, libstdc++6:armhf):
# the cross compiler's own copies are older, and armhf's fails qemu's
# threads. The tests build GoogleTest from its sources for the target.
# Included by one small file a processor, which sets triple, qemu and
# debarch.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${triple})
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_STRIP ${triple}-strip)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${qemu})
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debarch})
