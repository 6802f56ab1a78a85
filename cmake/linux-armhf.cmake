# Cross build for 32-bit ARM (Debian armhf: ARMv7, hard float) with
# crossbuild-essential-armhf: the gateways' small boards, and a 32-bit target
# where 64-bit fields are 8-aligned.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(MIRA_CROSS_TRIPLE arm-linux-gnueabihf)
set(MIRA_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
