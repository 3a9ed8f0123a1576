# 64-bit ARM (Raspberry Pi 3 and later with a 64-bit system, most ARM boards).
set(CROSS_ARCH arm64)
set(CROSS_TRIPLE aarch64-linux-gnu)
set(CROSS_QEMU aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
