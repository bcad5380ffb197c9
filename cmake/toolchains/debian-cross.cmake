# Shared part of the toolchain files: Debian's cross compiler for
# TOLVEK_TRIPLE (package g++-TRIPLE, which brings the target's libc under
# /usr/TRIPLE) and qemu-user to run what it builds (package qemu-user).
# The including file sets CMAKE_SYSTEM_PROCESSOR, TOLVEK_TRIPLE and TOLVEK_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TOLVEK_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVEK_TRIPLE}-g++)

# Libraries and headers only from the target's tree (and whatever prefix the
# caller adds, such as a GoogleTest built for the target); programs from the
# build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${TOLVEK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# nlohmann-json3-dev (for tolvek-stats) is header-only and the same for every
# target: its CMake files are in the build machine's /usr/share, outside the
# target's tree, and its headers in /usr/include, which Debian's cross
# compilers search after the target's own.
if(EXISTS /usr/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake)
  set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json CACHE PATH "")
endif()

# ctest, test discovery and try_run start target programs through this.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLVEK_QEMU} -L /usr/${TOLVEK_TRIPLE})
