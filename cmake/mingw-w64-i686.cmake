# Cross build for 32-bit Windows (i686) with MinGW-w64 (Debian: g++-mingw-w64-i686-posix,
# binutils-mingw-w64-i686, mingw-w64-i686-dev). Both Windows programs are 32-bit: they
# run on 32- and 64-bit Windows alike.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KQ_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KQ_MINGW_PREFIX}-gcc-posix ${KQ_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KQ_MINGW_PREFIX}-g++-posix ${KQ_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KQ_MINGW_PREFIX}-windres REQUIRED)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})
set(CMAKE_FIND_ROOT_PATH /usr/${KQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
