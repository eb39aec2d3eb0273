# Linux on 32-bit ARM with hardware floating point (armhf).
set(triple arm-linux-gnueabihf)
set(qemu arm)
set(debarch armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
