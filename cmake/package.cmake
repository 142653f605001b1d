# `cpack -G DEB` in a build directory makes moxiscope_<version>_<arch>.deb
# from the installed files; dpkg-shlibdeps finds the libraries' packages.
set(CPACK_PACKAGE_NAME moxiscope)
set(CPACK_PACKAGE_VENDOR "The Moxiscope developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Record one window to a video, with the clicks in its metadata")
set(CPACK_PACKAGE_DESCRIPTION "Moxiscope lives in the system tray and records one application window to a video
while it logs the mouse pointer over that window, then re-wraps the recording as
an M4V movie whose metadata carries the window's size and the clicks.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Moxiscope developers <developers@moxiscope.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Loaded at run time, so no library dependency names them: the QML modules
# of the popover, Qt's X11 platform plugin and the default-application opener.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, \
qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtqml-workerscript, qt6-qpa-plugins, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
include(CPack)
