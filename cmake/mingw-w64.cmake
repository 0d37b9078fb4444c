# Cross build for Windows with MinGW-w64, for the architecture in KQ_MINGW_ARCH (the
# presets set it):
#   i686    32-bit (Debian: g++-mingw-w64-i686-posix, binutils-mingw-w64-i686,
#           mingw-w64-i686-dev). The Windows programs as shipped: they run on 32- and
#           64-bit Windows alike.
#   x86_64  64-bit (Debian: g++-mingw-w64-x86-64-posix), for Wine on hosts that cannot
#           run 32-bit code.
set(KQ_MINGW_ARCH i686 CACHE STRING "MinGW-w64 target architecture: i686 or x86_64")
set_property(CACHE KQ_MINGW_ARCH PROPERTY STRINGS i686 x86_64)
if(NOT KQ_MINGW_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "KQ_MINGW_ARCH must be i686 or x86_64, not '${KQ_MINGW_ARCH}'")
endif()
# The compiler checks' own projects read this file again and need the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KQ_MINGW_ARCH)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KQ_MINGW_ARCH})
set(KQ_MINGW_PREFIX ${KQ_MINGW_ARCH}-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KQ_MINGW_PREFIX}-gcc-posix ${KQ_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KQ_MINGW_PREFIX}-g++-posix ${KQ_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KQ_MINGW_PREFIX}-windres REQUIRED)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})
set(CMAKE_FIND_ROOT_PATH /usr/${KQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
