# The Debian package (bash scripts/package.sh): CPack's DEB generator with
# the run-time dependencies computed by dpkg-shlibdeps from the programs'
# libraries (Debian's Qt 6, C and C++ run-time packages).
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR "Quillet developers")
set(CPACK_PACKAGE_CONTACT "${QUILLET_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLET_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for a video test instrument on a serial link")
set(CPACK_PACKAGE_DESCRIPTION "Finds an HDMI signal generator and related instruments on a serial port\n\
(COM ports, usually USB adapters), stores user test patterns in their flash\n\
and updates their firmware. Three programs: quillet, the dialog (Qt 6);\n\
quillet-cli, the same flows from a command line, for scripts and production\n\
lines; quillet-sim, an instrument simulator for training and work without\n\
hardware.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
if(UNIX AND NOT APPLE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dialog opens the file dialog and draws text: a font is needed.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core | fonts-liberation")
endif()
include(CPack)
