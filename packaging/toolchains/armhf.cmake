# 32-bit ARM with hardware floating point (Raspberry Pi OS's 32-bit system,
# older boards and routers).
set(CROSS_ARCH armhf)
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_QEMU arm)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
