# Cross-building for 64-bit Windows with Debian's mingw-w64 (posix threads,
# for std::thread). Every program is linked statically so each .exe runs on
# its own, importing only DLLs that ship with Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLET_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLET_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLET_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLET_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLET_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
