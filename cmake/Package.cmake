# The Debian package, vornfabriclldp_<version>_<arch>.deb:
#
#   cmake --build build --target vorn_package_contents && (cd build && cpack -G DEB)
#
# (scripts/package.sh does both). Each tool's CMakeLists.txt installs its own
# executable; this file adds what belongs to the package as a whole: the
# systemd unit, the man pages, the documentation and examples, and the
# maintainer scripts that make the daemon's system user. Included after the
# tools, so it can tell which of them this tree has.

# Man pages, compressed the way Debian ships them (-n: no name or time
# stamp inside, so a rebuild gives the same bytes).
set(vorn_man_sources
  ${CMAKE_SOURCE_DIR}/docs/man/vornfabriclldpd.8
  ${CMAKE_SOURCE_DIR}/docs/man/vornctl.8
  ${CMAKE_SOURCE_DIR}/docs/man/vorn-sim.1
  ${CMAKE_SOURCE_DIR}/docs/man/rltrace.1)
set(vorn_man_pages)
foreach(page ${vorn_man_sources})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  set(out ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${page} > ${out}
    DEPENDS ${page}
    VERBATIM)
  list(APPEND vorn_man_pages ${out})
  install(FILES ${out} DESTINATION share/man/man${section})
endforeach()
add_custom_target(vorn_man_pages ALL DEPENDS ${vorn_man_pages})

# Everything the package holds that a build makes: cpack installs, it does
# not build.
add_custom_target(vorn_package_contents)
add_dependencies(vorn_package_contents vorn_man_pages)
foreach(tool vornfabriclldpd vornctl rltrace vorn-sim)
  if(TARGET ${tool})
    add_dependencies(vorn_package_contents ${tool})
  endif()
endforeach()

# The unit goes where Debian 12 keeps those of packages, whatever the prefix.
install(FILES ${CMAKE_SOURCE_DIR}/tools/vornfabriclldpd/vornfabriclldpd.service
        DESTINATION /lib/systemd/system)
set(vorn_doc share/doc/vornfabriclldp)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${vorn_doc})
install(FILES ${CMAKE_SOURCE_DIR}/tools/vornfabriclldpd/README.md DESTINATION ${vorn_doc}
        RENAME README.vornfabriclldpd.md)
install(FILES ${CMAKE_SOURCE_DIR}/examples/README.md DESTINATION ${vorn_doc}/examples
        RENAME README.scenarios.md)
# The daemon's example configuration and the simulator's scenarios. Not
# under /etc: the configuration is the operator's to write, and a file
# shipped there would be a conffile dpkg asks about on every upgrade.
install(FILES ${CMAKE_SOURCE_DIR}/tools/vornfabriclldpd/vornfabriclldpd.json.example
        DESTINATION ${vorn_doc}/examples)
file(GLOB vorn_scenarios CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*.json)
install(FILES ${vorn_scenarios} DESTINATION ${vorn_doc}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornfabriclldp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VornFabricLldp maintainers <vornfabriclldp@vorn.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LLDP agent for the backplane links of a Vorn group")
# The control file's extended description: cpack indents each line and
# marks the empty line between paragraphs.
set(CPACK_PACKAGE_DESCRIPTION "vornfabriclldpd runs LLDP on the links between the member switches of a
Vorn group: it learns which peer member sits at the far end of every member
interface, negotiates each into HiGig backplane mode or back to Ethernet
mode, and reports each outcome in the system log. It runs under systemd as
the system user vornfabriclldp; vornctl asks it what it knows.

Also: vorn-sim, the whole-group simulator on a virtual clock, and rltrace,
which prints the agents' trace files.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# dpkg-shlibdeps finds the libraries the executables link (libc6, libfmt9,
# libsystemd0, ...); the maintainer scripts make the system user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser | passwd")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/cmake/debian/postinst
  ${CMAKE_SOURCE_DIR}/cmake/debian/prerm
  ${CMAKE_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
