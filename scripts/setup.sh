#!/bin/sh
# Installs what zelvo needs to build, run and test on Debian, when run as
# root; otherwise prints the command that would install what is missing.
set -eu

packages="g++ cmake make pkg-config libconfig-dev libevent-dev libmagickcore-6.q16-dev
libcurl4-openssl-dev libssl-dev ca-certificates openssl libxcb1-dev libxcb-randr0-dev libxcb-xinerama0-dev
libgtest-dev feh x11-xserver-utils xvfb x11-apps imagemagick python3 util-linux mount
clang libclang-rt-14-dev valgrind groff-base systemd dpkg-dev bash-completion gnome-backgrounds
libwayland-dev wayland-protocols sway swaybg grim weston libxcb-shm0-dev libxcb-render0-dev libxau-dev xrestop hsetroot picom"

missing=""
for package in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
    *" installed") ;;
    *) missing="$missing $package" ;;
    esac
done

if [ -z "$missing" ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "zelvo needs these Debian packages; as root, run:" >&2
    echo "  apt-get update && apt-get install -y$missing" >&2
    exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $missing
