# Cross build for 64-bit ARM (Debian arm64) with crossbuild-essential-arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MIRA_CROSS_TRIPLE aarch64-linux-gnu)
set(MIRA_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
