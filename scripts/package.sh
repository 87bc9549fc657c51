#!/bin/sh
# Builds the Debian package with cpack in a build directory (default build/), installs it with apt, checks the installed zelvo, zelvoctl and their manual pages, and removes it again with whatever apt pulled in for it.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
fail() {
    echo "package.sh: $*" >&2
    exit 1
}
[ -f "$build/CMakeCache.txt" ] || fail "$build is not a CMake build directory"
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root"

# Removing the package at the end must not take away one that was there before.
known=$(dpkg-query -W -f='${db:Status-Status}' zelvo 2>/dev/null || true)
case $known in
"" | not-installed) ;;
*) fail "dpkg knows the package zelvo already ($known); remove it first" ;;
esac

# Every package dpkg knows in some state, one per line, sorted.
known_packages() {
    dpkg-query -W -f='${db:Status-Status} ${binary:Package}\n' | awk '$1 != "not-installed" { print $2 }' | sort
}

work=$(mktemp -d)
installing=""
# Puts the machine back as it was: purges zelvo and every package that came with it.
clean_up() {
    status=$?
    set +e
    trap - EXIT INT TERM
    if [ -n "$installing" ]; then
        known_packages >"$work/after"
        added=$(comm -13 "$work/before" "$work/after" | tr '\n' ' ')
        if [ -n "$added" ]; then
            echo "package.sh: removing $added"
            # shellcheck disable=SC2086
            apt-get purge -y -q -o DPkg::Lock::Timeout=300 $added || status=1
        fi
    fi
    rm -rf "$work"
    exit "$status"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cmake --build "$build" --target zelvo zelvoctl
cd "$build"
rm -f zelvo_*.deb
cpack -G DEB
set -- zelvo_*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    fail "cpack made no single zelvo package: $*"
fi
deb=$1
version=$(dpkg-deb -f "$deb" Version)
echo "package.sh: $build/$deb, version $version, depends on: $(dpkg-deb -f "$deb" Depends)"

known_packages >"$work/before"
installing=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "./$deb"
known_packages >"$work/installed"
echo "package.sh: apt installed: $(comm -13 "$work/before" "$work/installed" | tr '\n' ' ')"

for file in /usr/bin/zelvo /usr/bin/zelvoctl /usr/share/man/man1/zelvo.1 /usr/share/man/man1/zelvoctl.1 \
    /usr/share/bash-completion/completions/zelvo /usr/share/bash-completion/completions/zelvoctl \
    "/usr/lib/systemd/user/zelvo@.service"; do
    [ "$(dpkg-query -S "$file")" = "zelvo: $file" ] || fail "$file is not the package's"
done
# Started by name, the program calls itself "zelvo" in its version line.
expected=$(printf 'zelvo: version: %s\r' "$version")
answer=$(env PATH=/usr/bin zelvo -v) || fail "zelvo -v failed"
[ "$answer" = "$expected" ] || fail "zelvo -v printed '$answer', not '$expected'"
# zelvoctl answers a bad call with its usage and status 2, and finds no daemon in an empty home.
# The usage is the one the zelvoctl just built prints, so the package carries that build.
usage=$(env -i PATH="$build/src" zelvoctl 2>&1) && fail "the built zelvoctl took no arguments as a command"
case $usage in
"Usage: zelvoctl "*) ;;
*) fail "the built zelvoctl printed '$usage', not its usage" ;;
esac
status=0
answer=$(env -i PATH=/usr/bin HOME="$work" zelvoctl 2>&1) || status=$?
[ "$status" -eq 2 ] && [ "$answer" = "$usage" ] || fail "zelvoctl printed '$answer' with status $status, not the usage with 2"
status=0
answer=$(env -i PATH=/usr/bin HOME="$work" zelvoctl -d :97 status 2>&1) || status=$?
[ "$status" -eq 1 ] && [ "$answer" = "zelvoctl: no zelvo runs on display :97" ] ||
    fail "zelvoctl -d :97 status printed '$answer' with status $status"
for page in zelvo zelvoctl; do
    warnings=$(groff -man -ww -z "/usr/share/man/man1/$page.1" 2>&1) || fail "groff failed on $page.1: $warnings"
    [ -z "$warnings" ] || fail "the manual page $page.1 has warnings: $warnings"
done
echo "package.sh: the installed zelvo $version, zelvoctl and their manual pages pass"
