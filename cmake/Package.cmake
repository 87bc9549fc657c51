# The Debian package of zelvo: `cpack` in the build directory makes
# zelvo_<version>_<arch>.deb, installed under /usr. It holds the component
# "zelvo" alone: zelvo and zelvoctl, their manual pages and bash completions,
# the examples and the user unit.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zelvo maintainers")
set(CPACK_PACKAGE_CONTACT "zelvo maintainers <maintainers@users.noreply.c-seed-7c27b190.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "X11 wallpaper daemon with terminal colours from the wallpaper")
# CPack puts the summary first and indents these lines for the control file.
set(CPACK_PACKAGE_DESCRIPTION "zelvo is a small per-user daemon that changes the desktop wallpaper at a
fixed interval. It gathers images from directories, image files, URLs and
list files, shuffles them, and starts feh with the next image for each
monitor. It can also derive a sixteen-colour terminal palette from each new
wallpaper and load it with xrdb. One daemon runs per X display; zelvoctl
shows the next or previous wallpaper, reshuffles, reloads, quits it, and
tells what is on screen. It reports through syslog.")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Installed for /usr through DESTDIR, so that the install rules see the real
# prefix: the user unit names the binary by it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};zelvo;/")
set(CPACK_STRIP_FILES ON)

# The libraries the binary links (MagickCore, libconfig, libevent, libcurl,
# libcrypto for the palette cache's hashes, the C and C++ runtimes) become
# dependencies through dpkg-shlibdeps, with the packages and versions it
# finds (libcrypto's is libssl3, or libssl3t64 on later releases). Named
# here: the two programs the daemon starts (xrdb comes with
# x11-xserver-utils), procps, whose kill the user unit's reload uses, and
# libxcb with its RandR and Xinerama extensions, through which the daemon
# counts the display's monitors. The completions are loaded by
# bash-completion, when it is there. On a Wayland desktop the daemon starts
# swaybg instead of feh, under sway or another wlroots compositor.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "feh, x11-xserver-utils, procps, libxcb1, libxcb-randr0, libxcb-xinerama0")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, swaybg, sway")

include(CPack)
