# A host build also makes the Windows launcher with the mingw-w64 cross
# compiler, as a project of its own that builds the launcher only.
option(KQ_BUILD_WINDOWS_STUB "Cross-build the Windows launcher when mingw-w64 is present" ON)
set(KQ_WINDOWS_STUB "")
if(CMAKE_CROSSCOMPILING OR NOT KQ_BUILD_SETUP OR NOT KQ_BUILD_WINDOWS_STUB)
  return()
endif()
find_program(KQ_MINGW_CXX i686-w64-mingw32-g++-posix)
if(NOT KQ_MINGW_CXX)
  message(NOTICE "The Windows launcher kqsetup.exe is not built: no i686-w64-mingw32-g++-posix was found.")
  return()
endif()
include(ExternalProject)
set(KQ_WINDOWS_STUB ${PROJECT_BINARY_DIR}/windows-stub/Setup/kqsetup.exe)
ExternalProject_Add(kqsetup_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${PROJECT_BINARY_DIR}/windows-stub
  PREFIX ${PROJECT_BINARY_DIR}/windows-stub-ep
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
             -DCMAKE_BUILD_TYPE=MinSizeRel -DKQ_WERROR=${KQ_WERROR}
             -DKQ_BUILD_TESTS=OFF -DKQ_BUILD_TOOLS=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target kqsetup -j 2
  BUILD_BYPRODUCTS ${KQ_WINDOWS_STUB}
  INSTALL_COMMAND ""
  # Sources change under the outer build; look at them every time.
  BUILD_ALWAYS ON
)
install(PROGRAMS ${KQ_WINDOWS_STUB} DESTINATION ${KQ_STUB_DIR})
