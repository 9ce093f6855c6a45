# cpack -G DEB in the build tree: a Debian package of the window, ferrox-run and the desktop
# files, installed under /usr. Its library dependencies are computed by dpkg-shlibdeps from
# the programs themselves, so they follow whatever Qt the package was built against.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrox)
set(CPACK_PACKAGE_VENDOR "Ferrox")
set(CPACK_PACKAGE_CONTACT "${FERROX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file-copy queue for the desktop")
set(CPACK_PACKAGE_DESCRIPTION
    "Ferrox collects copies and moves of files and folders in a queue and
runs them later while you watch and steer them: a list of sources and a
list of destination folders paired line by line, moves into the trash
or for good, pause, resume and abort, a progress gauge, the transfer
rate and a daily error log. The queue survives restarts, and ferrox-run
runs a saved queue from a terminal.

A copy never leaves a half-written file under the target's name. The
file managers Dolphin, Nemo, PCManFM-Qt and Caja get an action that
sends the selected files and folders to Ferrox.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: without a platform plugin the
# window does not start at all (libqt6gui6 only recommends one), without the SVG plugin its
# icon falls back to the bitmaps, and without a dialog tool the "into folder" action cannot
# ask for the folder.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "kdialog | zenity")
if(FERROX_HOMEPAGE_URL)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${FERROX_HOMEPAGE_URL}")
endif()

include(CPack)
