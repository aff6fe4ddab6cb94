# Install layout and release packages (`--target package`): a Debian package on
# Linux; on Windows a zip of the executable, its README and license, and an
# installer (.msi, cmake/MsiPackage.cmake) of the same files. The version is
# the project's.
set(CPACK_PACKAGE_NAME VelmoraService)
set(CPACK_PACKAGE_VENDOR Harbrook)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP/1.1 package server that installs itself as a service")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS VelmoraService RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME VelmoraService-${PROJECT_VERSION}-win64)
  # The installer is made from the zip's staged files once the zip is made.
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/MsiPackage.cmake)
  set(CPACK_VELMORA_WXS ${CMAKE_SOURCE_DIR}/packaging/VelmoraService.wxs)
else()
  set(velmora_doc share/doc/velmora-service)
  set(velmora_generated ${CMAKE_BINARY_DIR}/packaging)
  configure_file(packaging/VelmoraService.8 ${velmora_generated}/VelmoraService.8 @ONLY)
  configure_file(packaging/changelog.in ${velmora_generated}/changelog @ONLY)
  # Debian wants manual pages and changelogs compressed at the highest level,
  # without a time stamp in the gzip header.
  add_custom_command(
    OUTPUT ${velmora_generated}/VelmoraService.8.gz ${velmora_generated}/changelog.gz
    COMMAND gzip -9nf -k ${velmora_generated}/VelmoraService.8 ${velmora_generated}/changelog
    DEPENDS ${velmora_generated}/VelmoraService.8 ${velmora_generated}/changelog
    VERBATIM)
  add_custom_target(velmora_package_docs ALL
    DEPENDS ${velmora_generated}/VelmoraService.8.gz ${velmora_generated}/changelog.gz)

  target_link_options(VelmoraService PRIVATE -Wl,-z,relro,-z,now)
  install(TARGETS VelmoraService RUNTIME DESTINATION sbin)
  install(FILES README.md ${velmora_generated}/changelog.gz DESTINATION ${velmora_doc})
  install(FILES LICENSE DESTINATION ${velmora_doc} RENAME copyright)
  install(FILES ${velmora_generated}/VelmoraService.8.gz DESTINATION share/man/man8)
  install(FILES packaging/logrotate DESTINATION /etc/logrotate.d RENAME velmora-service)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME velmora-service)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Harbrook <velmora@harbrook.com>")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The summary above is the first line of the description; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"VelmoraService hands software packages to setup programs over plain
HTTP/1.1: files of one packages folder, their headers, and XML listings of
its folders. It runs in a console or as a systemd service that it installs,
starts, stops and removes from its own command line, and keeps a plain text
log.
.
Installing the package registers no service: run VelmoraService -install
with the options wanted. Removing the package stops and uninstalls it.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm
    ${CMAKE_SOURCE_DIR}/packaging/postrm ${CMAKE_SOURCE_DIR}/packaging/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
