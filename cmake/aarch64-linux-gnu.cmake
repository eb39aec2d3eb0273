# Linux on 64-bit ARM (arm64).
set(triple aarch64-linux-gnu)
set(qemu aarch64)
set(debarch arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
