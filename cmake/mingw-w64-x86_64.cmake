# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (POSIX thread
# model), against the static libraries that scripts/build-windows builds into
# CORVANE_WIN_PREFIX (OpenSSL, libcurl, glog, GoogleTest, RapidJSON's headers).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCORVANE_WIN_PREFIX=<prefix>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVANE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW}-windres)

set(CORVANE_WIN_PREFIX "" CACHE PATH "Prefix of the libraries built for Windows")
# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_WIN_PREFIX)

# Libraries, headers and packages come from the MinGW tree and the prefix only,
# never from the build host; programs are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW} ${CORVANE_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: libgcc, libstdc++ and winpthread linked in,
# so that it imports only DLLs every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Cross-built programs (tests, test discovery) run under Wine in a private
# prefix inside the build directory.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-env;${CMAKE_BINARY_DIR};run-test)
