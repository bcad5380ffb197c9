# 64-bit ARM (Debian's arm64);
# tests run under qemu-user.
#   cmake -B build-aarch64-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# Needs the packages g++-aarch64-linux-gnu and qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOLVEK_TRIPLE aarch64-linux-gnu)
set(TOLVEK_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Debian's linker lays out an arm64 program for kernels with 64 KiB pages,
# which pads a dynamically linked one with about 20 KiB of zeros. Devices
# run kernels with 4 KiB (a few with 16 KiB) pages; for one with 64 KiB
# pages, configure with -DTOLVEK_MAX_PAGE_SIZE=65536.
set(TOLVEK_MAX_PAGE_SIZE 16384 CACHE STRING "largest kernel page size the programs must load on")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-z,max-page-size=${TOLVEK_MAX_PAGE_SIZE}")
