# Debian packages of the tool (cpack -G DEB in a build folder), one per
# install component:
#   esimctl          esimctl and esimctl-info in /usr/bin, their manual pages,
#                    README and docs under /usr/share/doc/esimctl, and the
#                    logrotate rule of the run logs (/etc/logrotate.d/esimctl,
#                    a conffile);
#   esimctl-dbshell  the project's database client at its configured path
#                    (ESIMCTL_DB_CLIENT) and its manual page.
# A gateway's platform brings its own client at that path, so esimctl does
# not depend on esimctl-dbshell: that package is for gateways without one.
# Dependencies come from each package's binaries (dpkg-shlibdeps).
set(deb_arch_of_aarch64 arm64)
set(deb_arch_of_arm armhf)
set(deb_arch_of_x86_64 amd64)
set(deb_arch ${deb_arch_of_${CMAKE_SYSTEM_PROCESSOR}})
if(NOT deb_arch)
  set(deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

# Debian wants these two with every package, in the package's own doc folder.
set(debian_dir ${CMAKE_CURRENT_LIST_DIR}/debian)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
                   COMMAND sh -c "gzip -9n -c '${debian_dir}/changelog' > '${CMAKE_BINARY_DIR}/package/changelog.gz'"
                   DEPENDS ${debian_dir}/changelog VERBATIM)
add_custom_target(package_files ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz ${debian_dir}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT esimctl)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz ${debian_dir}/copyright
        DESTINATION ${ESIMCTL_DBSHELL_DOCDIR} COMPONENT dbshell)
# What an upgrade from a release that carried the client (1.1.0 and earlier)
# needs: esimctl keeps that client for the gateway until esimctl-dbshell
# brings its own; esimctl-dbshell declares that it took the file over, and
# never replaces a client that no package owns.
foreach(script esimctl.preinst esimctl.postinst esimctl.postrm dbshell.preinst dbshell.postinst)
  string(REPLACE "." "/" out ${script})
  configure_file(${debian_dir}/${script}.in ${CMAKE_BINARY_DIR}/package/${out} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/NEWS.Debian.gz
                   COMMAND sh -c "gzip -9n -c '${debian_dir}/NEWS' > '${CMAKE_BINARY_DIR}/package/NEWS.Debian.gz'"
                   DEPENDS ${debian_dir}/NEWS VERBATIM)
add_custom_target(package_news ALL DEPENDS ${CMAKE_BINARY_DIR}/package/NEWS.Debian.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/NEWS.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT esimctl)
# The run logs' rotation rule, for the configured log folder. A file in /etc
# is the administrator's once installed: a conffile, kept across upgrades.
configure_file(${CMAKE_CURRENT_LIST_DIR}/logrotate.in ${CMAKE_BINARY_DIR}/package/logrotate @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/package/esimctl/conffiles "/etc/logrotate.d/esimctl\n")
install(FILES ${CMAKE_BINARY_DIR}/package/logrotate DESTINATION /etc/logrotate.d RENAME esimctl
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT esimctl)
install(FILES ${debian_dir}/dbshell.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME esimctl-dbshell COMPONENT dbshell)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME esimctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "esimctl developers <esimctl-dev@lists.example.org>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL esimctl dbshell)
set(CPACK_DEBIAN_ESIMCTL_PACKAGE_NAME esimctl)
set(CPACK_DEBIAN_DBSHELL_PACKAGE_NAME esimctl-dbshell)
set(CPACK_DEBIAN_ESIMCTL_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/package/esimctl/conffiles;${CMAKE_BINARY_DIR}/package/esimctl/preinst;${CMAKE_BINARY_DIR}/package/esimctl/postinst;${CMAKE_BINARY_DIR}/package/esimctl/postrm")
set(CPACK_DEBIAN_DBSHELL_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/package/dbshell/preinst;${CMAKE_BINARY_DIR}/package/dbshell/postinst")
# The client moved here from esimctl 1.1.0.
set(CPACK_DEBIAN_DBSHELL_PACKAGE_BREAKS "esimctl (<< 1.2.0)")
set(CPACK_DEBIAN_DBSHELL_PACKAGE_REPLACES "esimctl (<< 1.2.0)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The rule does nothing without logrotate, but the tool works without it.
set(CPACK_DEBIAN_ESIMCTL_PACKAGE_RECOMMENDS logrotate)
set(CPACK_COMPONENT_ESIMCTL_DESCRIPTION
    "download and remove eSIM profiles on a gateway's modems
esimctl drives the AT+QESIM command of the cellular modems of an embedded
Linux gateway (up to 32 channels) to install and remove eSIM profiles, and
relays the modem's requests to the profile server (SM-DP+) over HTTPS. It
records which server installed each profile through a database client at
${ESIMCTL_DB_CLIENT}: the gateway platform's own client, or the one of the
package esimctl-dbshell on a gateway without one. esimctl-info gives a
read-only look at a channel.")
set(CPACK_COMPONENT_DBSHELL_DESCRIPTION
    "database client for esimctl's server records
dbshell runs one SQL statement on an SQLite file and prints the outcome as
JSON, the way esimctl's record store expects it. This package installs it at
${ESIMCTL_DB_CLIENT}, the path of the gateway platform's own client: it is
for gateways that have no such client.")
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
