# The packages, made by CPack from the installation (cmake --install): on Linux the Debian
# package brindlequartz_VERSION-REVISION_ARCH.deb, in the Windows build the zip
# brindlequartz-VERSION-windows-x64.zip. Both land in packages/ of the build folder.
#   cpack --config CPackConfig.cmake     (make package runs it for both)
if(BQ_SANITIZE)
  return()  # packages are made from the plain build only
endif()

set(CPACK_PACKAGE_NAME brindlequartz)
set(CPACK_PACKAGE_VENDOR Varno)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "program AVR microcontrollers through a serial programmer")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)  # CPack's working folder
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME brindlequartz-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)  # unpacks into a folder of its own
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${BQ_DEBIAN_REVISION})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BQ_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The first line of the control file's description is CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Brindlequartz drives a serial-port programmer for AVR microcontrollers: it\n"
    "identifies the chip, reads, writes, verifies, erases and blank-checks flash\n"
    "and EEPROM, reads, edits, writes and verifies fuse and lock bits, reads\n"
    "calibration bytes, and loads and saves images as raw binary or Intel HEX.\n"
    "\n"
    "The package holds the desktop program (brindlequartz), the same engine for\n"
    "the terminal and scripts (brindlequartz-cli), a simulated programmer on a\n"
    "pseudo-terminal (brindlequartz-sim) and the list of the chips they know. The\n"
    "port name sim selects a simulated programmer inside each program, so\n"
    "everything can be tried without hardware.")
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
  # Libraries from the binaries themselves; by hand only what they cannot show: the desktop
  # program does not start without Qt's platform plugins.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(TARGET brindlequartz)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
