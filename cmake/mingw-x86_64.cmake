# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64),
# run under 64-bit wine: the launcher as PE32+ where 32-bit programs cannot run.
# Debian's wine64 package puts its loader in /usr/lib/wine, not on PATH.
set(KQ_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
find_program(KQ_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KQ_WINE64})
