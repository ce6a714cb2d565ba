# `cpack -G DEB` in the build directory makes a Debian package of what `cmake --install` puts in
# place: the program, its pictures, the desktop entry and the icons.
set(CPACK_PACKAGE_NAME housetone)
set(CPACK_PACKAGE_VENDOR "Housetone")
set(CPACK_PACKAGE_CONTACT "Housetone maintainers <housetone@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Plays the computer's sound on several speakers, in step")
set(CPACK_PACKAGE_DESCRIPTION
    "Housetone plays the computer's sound on several speakers at once (built-in, Bluetooth, USB,\n"
    "HDMI) and keeps them in step: each speaker is held back by its own delay, measured with the\n"
    "microphone or set by ear.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.invalid/housetone")
# The shared libraries the program links come from dpkg-shlibdeps; what Qt loads at run time
# (the display plugins, the SVG icon engine, the reader of the .icns program icon) does not show
# up there and is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, qt6-image-formats-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
include(CPack)
