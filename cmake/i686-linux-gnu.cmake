# Linux on 32-bit x86 (i386).
set(triple i686-linux-gnu)
set(qemu i386)
set(debarch i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
