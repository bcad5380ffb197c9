# 64-bit ARM (Debian's arm64);
# tests run under qemu-user.
#   cmake -B build-aarch64-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# Needs the packages g++-aarch64-linux-gnu and qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOLVEK_TRIPLE aarch64-linux-gnu)
set(TOLVEK_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
