# 32-bit big-endian MIPS (Debian ships the cross compiler, not a port);
# tests run under qemu-user.
#   cmake -B build-mips-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mips-linux-gnu.cmake
# Needs the packages g++-mips-linux-gnu and qemu-user.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(TOLVEK_TRIPLE mips-linux-gnu)
set(TOLVEK_QEMU qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
