# The Debian package: scripts/package configures a tree with the prefix /usr
# and runs cpack -G DEB in it.
set(CPACK_PACKAGE_NAME savro2-register)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Example Lab Instruments")
set(CPACK_PACKAGE_CONTACT "Example Lab Instruments <info@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Savro-2 beverage analyser measurement register")
set(CPACK_PACKAGE_DESCRIPTION "Polls a Savro-2 laboratory beverage analyser over a serial line\n\
and keeps its measurements in a results table that is saved, reopened and\n\
printed. Includes savro2-sim, an analyser simulator for service engineers.")
# The program compares its own folder with the bin folder it was built for.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.com/")
# Qt's plugins (platforms, SVG icons) and translations are not found by
# shlibdeps, the libraries are; the list names them all.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libqt6core6, libqt6gui6, libqt6widgets6, libqt6network6, libqt6serialport6, libqt6sql6-sqlite, libqt6sql6-psql, libqt6printsupport6, libqt6svg6, libqt6charts6, qt6-translations-l10n")
include(CPack)
