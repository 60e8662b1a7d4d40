# The installed package: CMake config with kq_add_setup, pkg-config files and
# the Debian package.
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

# Relocatable: the prefix is found from the .pc file's own folder.
file(RELATIVE_PATH KQ_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
foreach(pc instcompress instcompress-pack)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# Written by hand beside the tool when present.
if(KQ_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/kqi/kqi.1)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/kqi/kqi.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
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
include(CPack)
