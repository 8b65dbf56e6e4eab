# `cpack -G DEB` in a build folder makes camupgrade_<version>_<arch>.deb: the
# library, its header and pkg-config file, the SDK (library, C and C++
# headers, the Python module for the system's Python), the command, the
# simulator, the sample logging configuration, the man page, the bash
# completion and the documentation a line host needs (README, SDK guide,
# fleet guide, history schema, the playbook), installed under /usr.
install(FILES README.md docs/sdk.md docs/fleet.md docs/history.md docs/fleet/upgrade-line.yml
  docs/fleet/inventory.ini DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME camupgrade)
set(CPACK_PACKAGE_VENDOR "camupgrade developers")
set(CPACK_PACKAGE_CONTACT "camupgrade developers <camupgrade@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Firmware upgrade of GigE Vision cameras: library, command and simulated camera")
set(CPACK_PACKAGE_DESCRIPTION
  "libcamupgrade takes control of a camera over GVCP, serves its firmware files
over TFTP on UDP port 69 and follows the upgrade to the camera's verdict.
camupgrade upgrades one or many cameras from the command line; camsim is a
simulated camera to try it on. libcamupgrade-sdk offers the same jobs to host
applications: a C API with a stable ABI, a C++ wrapper and a Python module.")
# The Python module needs no compiled part, only an interpreter.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build folder; a line host needs none.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries' packages (log4cpp, libarchive, the C++ runtime) come from
# dpkg-shlibdeps, so they follow whatever the build machine linked.
# (libsqlite3-0 for the history among them.)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
