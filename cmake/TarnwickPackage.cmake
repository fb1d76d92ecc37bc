# The Debian package, built by `make package` (CPack's DEB generator) from the install rules
# in packaging/.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick-pico)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${TARNWICK_PACKAGE_PREFIX})
set(CPACK_PACKAGE_CONTACT "Tarnwick Pico maintainers <tarnwick-pico@mistrelsoft.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small desktop TCP relay with up to ten port panels")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tarnwick Pico listens on local TCP ports and forwards every connection that\n"
    "arrives at one of them, byte for byte and in both directions, to that port's\n"
    "destination host and port, over IPv4 or IPv6; a port can forward UDP datagrams\n"
    "instead. Its small window has an ON/OFF\n"
    "switch per port, the connection count and a live list of the connections. It\n"
    "also runs headless as a systemd user service.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.mistrelsoft.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's Japanese texts need a Japanese font; nothing links against it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-ipafont-gothic)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
