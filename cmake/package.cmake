# Debian packages of the tool (cpack -G DEB in a build folder): esimctl and
# esimctl-info in /usr/bin, dbshell at its configured client path, the manual
# pages, README and docs. Dependencies come from the binaries (dpkg-shlibdeps).
set(deb_arch_of_aarch64 arm64)
set(deb_arch_of_arm armhf)
set(deb_arch_of_x86_64 amd64)
set(deb_arch ${deb_arch_of_${CMAKE_SYSTEM_PROCESSOR}})
if(NOT deb_arch)
  set(deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

# Debian wants these two with every package.
set(debian_dir ${CMAKE_CURRENT_LIST_DIR}/debian)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
                   COMMAND sh -c "gzip -9n -c '${debian_dir}/changelog' > '${CMAKE_BINARY_DIR}/package/changelog.gz'"
                   DEPENDS ${debian_dir}/changelog VERBATIM)
add_custom_target(package_files ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz ${debian_dir}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${debian_dir}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME esimctl)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME esimctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "esimctl developers <esimctl-dev@lists.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download and remove eSIM profiles on a gateway's modems")
set(CPACK_PACKAGE_DESCRIPTION
    "esimctl drives the AT+QESIM command of the cellular modems of an embedded
Linux gateway (up to 32 channels) to install and remove eSIM profiles, and
relays the modem's requests to the profile server (SM-DP+) over HTTPS. It
records which server installed each profile through the database client
dbshell. esimctl-info gives a read-only look at a channel.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Only the tool's own files: no test or simulator target installs anything.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};esimctl;ALL;/")
include(CPack)
