#!/bin/sh
# Installs the Debian packages that building and testing need, when missing.
# Idempotent: nothing is downloaded when everything is there already.
set -eu

PACKAGES="
g++
cmake
ninja-build
pkg-config
make
binutils
liblua5.4-dev
lua5.4
lua-cjson
lua-zlib
nlohmann-json3-dev
libssl-dev
libgtest-dev
libgmock-dev
libbenchmark-dev
libpcap-dev
libndpi-dev
libxxhash-dev
libndpi-bin
tcpdump
diffutils
clang
libclang-rt-14-dev
llvm
lua-check
dpkg-dev
file
man-db
"

missing=""
for pkg in $PACKAGES; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "installed" ] || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "setup: missing packages:$missing; run as root or install sudo" >&2
    exit 1
fi

echo "setup: installing$missing"
export DEBIAN_FRONTEND=noninteractive
# Update the package lists only when the install cannot find a package.
if ! $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing; then
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
