# Linux on IBM Z (s390x), big-endian.
set(triple s390x-linux-gnu)
set(qemu s390x)
set(debarch s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
