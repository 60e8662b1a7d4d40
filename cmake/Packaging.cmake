# The installed package: CMake config with kq_add_setup, pkg-config files and
# the Debian package; for Windows, a zip laid out for Windows.
include(CMakePackageConfigHelpers)

set(KQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/InstCompress)
install(EXPORT InstCompressTargets NAMESPACE InstCompress:: DESTINATION ${KQ_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/InstCompressConfig.cmake.in
  ${PROJECT_BINARY_DIR}/InstCompressConfig.cmake
  INSTALL_DESTINATION ${KQ_CMAKE_DIR}
  PATH_VARS KQ_STUB_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/InstCompressConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/InstCompressConfig.cmake
              ${PROJECT_BINARY_DIR}/InstCompressConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/KQAddSetup.cmake
        DESTINATION ${KQ_CMAKE_DIR})

if(WIN32)
  # bin\kqi.exe, share\kqinstall\kqsetup.exe, include\, lib\ with the CMake
  # package, and the documents at the top: README.md and kqi.txt, the man
  # page rendered as plain text.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  find_program(KQ_GROFF groff)
  if(KQ_BUILD_TOOLS AND KQ_GROFF)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/kqi.txt
      COMMAND ${KQ_GROFF} -man -Tutf8 -P-cbou ${PROJECT_SOURCE_DIR}/tools/kqi/kqi.1 > ${PROJECT_BINARY_DIR}/kqi.txt
      DEPENDS ${PROJECT_SOURCE_DIR}/tools/kqi/kqi.1
      COMMENT "Rendering the man page as text")
    add_custom_target(kqi_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/kqi.txt)
    install(FILES ${PROJECT_BINARY_DIR}/kqi.txt DESTINATION .)
  elseif(KQ_BUILD_TOOLS)
    message(NOTICE "The package's kqi.txt is not made: no groff was found (Debian's groff-base).")
  endif()
else()
  # Relocatable: the prefix is found from the .pc file's own folder.
  file(RELATIVE_PATH KQ_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  foreach(pc instcompress instcompress-pack)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endforeach()
endif()

# cpack -G DEB: one package with the tool, the libraries, the headers, the
# stubs, the CMake files and the man page.
set(CPACK_PACKAGE_NAME kqinstall)
set(CPACK_PACKAGE_VENDOR "KQInstall")
set(CPACK_PACKAGE_CONTACT "KQInstall developers <kqinstall@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY kqinstall)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # cpack -G ZIP: kqinstall-VERSION-win32.zip (i686) or -win64.zip (x86_64),
  # everything under one folder of that name, no usr/.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME kqinstall-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
endif()
include(CPack)
