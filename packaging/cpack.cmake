# `cpack -G DEB` in the build directory makes a Debian package of what `cmake --install` puts in
# place: the program, its pictures, the desktop entry, the AppStream description, the icons, the
# manual page, and the copyright file and changelog (packaging/CMakeLists.txt).
set(CPACK_PACKAGE_NAME housetone)
set(CPACK_PACKAGE_VENDOR "Housetone")
# Where bug reports and questions about the package go.
set(HOUSETONE_MAINTAINER "Housetone developers <housetone@users.noreply.github.com>"
    CACHE STRING "The package's maintainer, as \"Name <address>\"")
set(CPACK_PACKAGE_CONTACT "${HOUSETONE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "play the computer's sound on several speakers, in step")
# One string: a list of several would reach the control file joined by ";".
set(CPACK_PACKAGE_DESCRIPTION
    "Housetone plays the computer's sound on several speakers at once (built-in,
Bluetooth, USB, HDMI) and keeps them in step: each speaker is held back by its
own delay, measured with the microphone or set by ear, so that every speaker's
sound reaches the listener at the same moment. It runs on PipeWire.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
# The program is built with its debugging information; the package ships it without.
set(CPACK_STRIP_FILES ON)
# The shared libraries the program links come from dpkg-shlibdeps; what Qt loads at run time (the
# display plugins, the SVG reader for the icons) does not show up there and is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
# Together mode starts a `pipewire` process of its own to host the "All Speakers" output.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-bin")
# A native Wayland window: without it Qt draws through XWayland, which every Wayland desktop runs.
# Only suggested, because Debian's qt6-wayland also brings the Wayland compositor library and
# with it the whole QML and Quick stack, which this Widgets program never uses.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")
include(CPack)
