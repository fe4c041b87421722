# The Debian package: `cpack -G DEB` in a build tree (scripts/package makes a Release one)
# writes tillhaven_<version>_<arch>.deb with everything `cmake --install` puts in place,
# under /usr.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tillhaven)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR tillhaven)
set(CPACK_PACKAGE_CONTACT "tillhaven support <support@tillhaven.ru>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cash register client of the tillhaven online service")
set(CPACK_PACKAGE_DESCRIPTION
    "The client waits in the tray of a merchant's workstation, exchanges
state, documents and commands with the tillhaven service every 5 seconds
per register, and fiscalises the documents on ATOL fiscal registers
attached by USB or serial port through the vendor's driver. Documents are
kept in a local SQLite journal until the service acknowledges them, so
none is lost across restarts.

For training and support, /usr/lib/tillhaven holds a local stand-in for
the service and a register emulator with the vendor driver's interface.")

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install with DESTDIR, so that the desktop entries name /usr/bin/tillhaven, the prefix the
# package installs to, rather than CPack's staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tillhaven_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tillhaven.ru)
# Depends comes from the libraries the programs link (Qt, curl, SQLite, ...), and Qt's own
# translations, which no program links: the Russian texts of message boxes and menus.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
