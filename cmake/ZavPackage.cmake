# The Debian package of the tool, made by CPack from this build (its prefix is the package's):
#   cpack --config <build>/CPackConfig.cmake -B <folder>
# It holds what `cmake --install` puts in place: zav, libhiddfu in the tool's own library
# folder, the udev rule, the desktop entry, the icons, the AppStream metadata and the manual
# page, with the copyright and the changelog. Its run-time dependencies are computed from the
# binaries; the CJK font the dialogs are laid out with and Qt's platform plugins are named.
# The maintainer scripts make a running udev read the rule and look at hidraw devices again.
set(ZAV_MAINTAINER "Zav maintainers <maintainers@example.org>")

# Only a release carries the bare version. A development build trusts the demo key and the
# test USB ids: its version says so, and sorts below the release of the same number.
if(ZAV_RELEASE)
  set(ZAV_PACKAGE_VERSION ${PROJECT_VERSION})
  set(_zav_build_note "")
else()
  set(ZAV_PACKAGE_VERSION ${PROJECT_VERSION}~dev)
  set(_zav_build_note "

This is a development build: it trusts the firmware signing key of the
build it was made in and looks for the pid.codes test USB ids, so it
upgrades no dongle that users have.")
endif()

set(_zav_doc ${CMAKE_INSTALL_DATADIR}/doc/zav)
configure_file(cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND ${ZAV_GZIP} -9nkf changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/debian
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(zav_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${_zav_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zav)
set(CPACK_PACKAGE_VERSION ${ZAV_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZAV_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for the Marlo wireless earbuds")
set(CPACK_PACKAGE_DESCRIPTION "Zav upgrades the firmware of the Marlo wireless earbuds through their USB
dongle: it asks the Marlo service for the current firmware, downloads it,
writes it into the dongle and reports every attempt to the service. A udev
rule gives the user at the seat access to the dongle, so the tool needs no
root.${_zav_build_note}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
