# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the
# posix thread model, which std::thread and std::mutex need):
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
# tools/build_windows.sh does that and builds the libraries the client links first.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRACKENREACH_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRACKENREACH_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRACKENREACH_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${BRACKENREACH_MINGW_HOST}-windres)

# Headers and libraries only from MinGW's tree (and the prefixes windows/CMakeLists.txt adds);
# programs (pkg-config, makensis, wine) from the building machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${BRACKENREACH_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
