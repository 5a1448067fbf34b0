# The Debian package, built by CPack's DEB generator from this project:
#
#   cmake -S . -B build-deb -DWRENACL_DEB=ON -DWRENACL_TESTS=OFF
#   cmake --build build-deb -j2 --target package   # build-deb/wrenacl_<version>_<arch>.deb
#
# Layout (README "Debian package"):
#   /usr/lib/squid/wrenacl             the helper, beside squid's own helpers
#   /usr/bin/wrenacl-testserver        the test directory server
#   /etc/wrenacl/wrenacl.conf          the configuration (conffile; postinst makes
#                                      it root:proxy 0640, it holds a password)
#   /etc/wrenacl/wrenacl.log           link to /var/log/wrenacl/wrenacl.log
#   /var/log/wrenacl/                  the log folder (postinst: proxy:adm 2750)
#   /etc/logrotate.d/wrenacl           rotation of /var/log/wrenacl/*.log (conffile)
#   /usr/share/man/man8/wrenacl.8.gz, /usr/share/man/man1/wrenacl-testserver.1.gz
#   /usr/share/doc/wrenacl/            copyright, changelog.gz, README.md,
#                                      README.testserver.md, examples/
# The helper derives its configuration and its log from one name; squid starts
# it as "/usr/lib/squid/wrenacl /etc/wrenacl/wrenacl.conf", which names
# /etc/wrenacl/wrenacl.conf and, through the link, /var/log/wrenacl/wrenacl.log.

set(deb_src ${PROJECT_SOURCE_DIR}/packaging/deb)
set(deb_out ${PROJECT_BINARY_DIR}/deb)
file(MAKE_DIRECTORY ${deb_out})

set(WRENACL_DEB_MAINTAINER "wrenacl maintainers <maintainers@users.noreply.c-seed-06db9f60.example>"
    CACHE STRING "Maintainer field of the Debian package")

# --- files ----------------------------------------------------------------------
install(TARGETS wrenacl RUNTIME DESTINATION usr/lib/squid)
install(TARGETS wrenacl-testserver RUNTIME DESTINATION usr/bin)

install(FILES ${PROJECT_SOURCE_DIR}/examples/wrenacl.conf.example
        DESTINATION etc/wrenacl RENAME wrenacl.conf)
# The log's name comes from the configuration's; the link puts it under /var/log.
file(CREATE_LINK /var/log/wrenacl/wrenacl.log ${deb_out}/wrenacl.log SYMBOLIC)
install(FILES ${deb_out}/wrenacl.log DESTINATION etc/wrenacl)
install(DIRECTORY DESTINATION var/log/wrenacl)
install(FILES ${deb_src}/logrotate DESTINATION etc/logrotate.d RENAME wrenacl)

# Man page and changelog compressed as Debian wants them (gzip -9n: no name,
# no time stamp, so that the package builds the same every time).
configure_file(${deb_src}/changelog.in ${deb_out}/changelog @ONLY)
set(deb_gz)
foreach(source ${PROJECT_SOURCE_DIR}/docs/wrenacl.8 ${PROJECT_SOURCE_DIR}/docs/wrenacl-testserver.1
               ${deb_out}/changelog)
  get_filename_component(base ${source} NAME)
  add_custom_command(
    OUTPUT ${deb_out}/gz/${base}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${deb_out}/gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${deb_out}/gz/${base}
    COMMAND gzip -9nf ${deb_out}/gz/${base}
    DEPENDS ${source}
    VERBATIM)
  list(APPEND deb_gz ${deb_out}/gz/${base}.gz)
endforeach()
add_custom_target(wrenacl_deb_docs ALL DEPENDS ${deb_gz})

install(FILES ${deb_out}/gz/wrenacl.8.gz DESTINATION usr/share/man/man8)
install(FILES ${deb_out}/gz/wrenacl-testserver.1.gz DESTINATION usr/share/man/man1)
install(FILES ${deb_out}/gz/changelog.gz ${deb_src}/copyright ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION usr/share/doc/wrenacl)
install(FILES ${PROJECT_SOURCE_DIR}/testserver/README.md
        DESTINATION usr/share/doc/wrenacl RENAME README.testserver.md)
install(FILES ${PROJECT_SOURCE_DIR}/examples/wrenacl.conf.example
              ${PROJECT_SOURCE_DIR}/examples/directory.txt
              ${deb_src}/squid-wrenacl.conf
        DESTINATION usr/share/doc/wrenacl/examples)

# --- control ----------------------------------------------------------------------
file(WRITE ${deb_out}/conffiles "/etc/wrenacl/wrenacl.conf\n/etc/logrotate.d/wrenacl\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wrenacl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${WRENACL_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends computed by dpkg-shlibdeps from the binaries: the helper needs the
# C library only, the test server also libcrypto and the C++ runtime.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS squid)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NetWare directory (NDS) group-check helper for squid")
set(CPACK_PACKAGE_DESCRIPTION
"wrenacl is an external ACL helper for squid and other web proxy caches that
speak squid's external ACL protocol. For each 'user group' request it answers
OK or ERR, deciding membership by asking a NetWare server's directory (NDS)
over NCP on TCP, optionally after an NDS login as a configured search user.

The package also holds wrenacl-testserver, a small NCP/NDS directory server
for trying a proxy set-up before the helper is pointed at a real directory.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${deb_out}/conffiles;${deb_src}/postinst;${deb_src}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
