# 32-bit ARM, hard float (Debian's armhf);
# tests run under qemu-user.
#   cmake -B build-arm-linux-gnueabihf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
# Needs the packages g++-arm-linux-gnueabihf and qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TOLVEK_TRIPLE arm-linux-gnueabihf)
set(TOLVEK_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
