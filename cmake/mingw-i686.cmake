# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
set(KQ_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
