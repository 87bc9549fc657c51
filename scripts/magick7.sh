#!/bin/sh
# Builds MagickCore 7 as FreeBSD, Arch and Fedora ship it (Q16, HDRI, OpenMP)
# from the ImageMagick source archive into a prefix of its own, builds zelvo
# against it with clang in build-magick7/, checks that the binary really links
# MagickCore 7, and runs the unit tests and the integration suite there.
# With the argument "build" it stops before the tests (bench/run.sh uses it).
#
# The archive is ImageMagick-7.1.2-30.tar.xz: $ZELVO_MAGICK7_ARCHIVE, or in
# shared/deps/ beside this checkout, beside a folder above it or beside the
# repository it was cloned from. The prefix is $ZELVO_MAGICK7_PREFIX, or one
# under ${TMPDIR:-/tmp}; a prefix that already holds this very archive's build
# is used as it is.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-}
version=7.1.2-30
name=ImageMagick-$version.tar.xz
fail() {
    echo "magick7.sh: $*" >&2
    exit 1
}

archive=${ZELVO_MAGICK7_ARCHIVE:-}
if [ -z "$archive" ]; then
    # shared/deps/ beside this checkout or beside any folder above it, or
    # beside the repository this one was cloned from.
    origin=$(git -C "$top" config --get remote.origin.url 2>/dev/null || true)
    dir=$top
    while [ -z "$archive" ] && [ "$dir" != / ]; do
        dir=$(dirname "$dir")
        [ -f "$dir/shared/deps/$name" ] && archive=$dir/shared/deps/$name
    done
    case $origin in
    /*) [ -z "$archive" ] && [ -f "$origin/../shared/deps/$name" ] && archive=$origin/../shared/deps/$name ;;
    esac
fi
[ -n "$archive" ] && [ -f "$archive" ] ||
    fail "the MagickCore 7 source archive $name is missing: put it in shared/deps/ beside this checkout or name it in ZELVO_MAGICK7_ARCHIVE"

"$top/scripts/setup.sh"
# The wallpaper formats MagickCore 7 reads through libraries of their own.
packages="libjpeg-dev libpng-dev zlib1g-dev libtiff-dev libwebp-dev libopenjp2-7-dev libheif-dev libgomp1 xz-utils"
need=""
for package in $packages; do
    case $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) in
    *" installed") ;;
    *) need="$need $package" ;;
    esac
done
if [ -n "$need" ]; then
    [ "$(id -u)" -eq 0 ] || fail "MagickCore 7 needs these Debian packages; as root, run: apt-get install -y$need"
    echo "magick7.sh: installing$need"
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need
fi

prefix=${ZELVO_MAGICK7_PREFIX:-${TMPDIR:-/tmp}/zelvo-magickcore-$version}
flags="--with-quantum-depth=16 --enable-hdri --enable-openmp --without-x --disable-docs --without-perl --without-magick-plus-plus"
# A prefix is used again only when it was built from the same archive with the same flags and libraries.
stamp="$(sha256sum <"$archive" | cut -d' ' -f1) $flags $packages"
if [ "$(cat "$prefix/.zelvo-stamp" 2>/dev/null || true)" = "$stamp" ]; then
    echo "magick7.sh: MagickCore $version is built already in $prefix"
else
    source_dir=$(mktemp -d)
    trap 'rm -rf "$source_dir"' EXIT
    started=$(date +%s)
    echo "magick7.sh: building MagickCore $version into $prefix"
    tar -xJf "$archive" -C "$source_dir"
    set -- "$source_dir"/*/configure
    [ -f "$1" ] || fail "the archive $archive holds no configure script"
    rm -rf "$prefix"
    # shellcheck disable=SC2086
    (cd "$(dirname "$1")" && ./configure --prefix="$prefix" $flags >"$source_dir/configure.log" 2>&1 ||
        { tail -n 40 "$source_dir/configure.log"; exit 1; }) || fail "configure failed"
    (cd "$(dirname "$1")" && make -j"$(nproc 2>/dev/null || echo 2)" >"$source_dir/make.log" 2>&1 &&
        make install >>"$source_dir/make.log" 2>&1 ||
        { tail -n 40 "$source_dir/make.log"; exit 1; }) || fail "make failed"
    echo "$stamp" >"$prefix/.zelvo-stamp"
    echo "magick7.sh: MagickCore $version built in $(($(date +%s) - started)) s"
    rm -rf "$source_dir"
    trap - EXIT
fi

build=$top/build-magick7
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
magick_version=$(pkg-config --modversion MagickCore)
case $magick_version in
7.*) ;;
*) fail "pkg-config gives MagickCore $magick_version from $prefix, not 7" ;;
esac
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"

# The binary must take its MagickCore from the prefix, and it must be 7's.
binary=$build/src/zelvo
grep -q 'CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$build/CMakeCache.txt" || fail "$build was not configured with clang++"
linked=$(ldd "$binary" | awk '/libMagickCore/ { print $3 }')
case $linked in
"$prefix"/lib/libMagickCore-7.*) echo "magick7.sh: $binary links $linked" ;;
*) fail "$binary links MagickCore from '${linked:-nowhere}', not MagickCore 7 from $prefix" ;;
esac

[ "$mode" = build ] && exit 0
cd "$build"
ctest --output-on-failure -j2
