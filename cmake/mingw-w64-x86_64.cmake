# Cross build of quiln.exe for 64-bit Windows with Debian's mingw-w64 (the
# posix thread flavour, which GoogleTest needs), run under Wine when testing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian 12 installs the 64-bit launcher here, not on PATH.
find_program(QUILN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(QUILN_WINE NAMES wine64 wine)
if(QUILN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILN_WINE})
endif()

