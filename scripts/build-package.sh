#!/bin/sh
# Builds the Debian package build/package/ombrix_<version>_<arch>.deb from a
# release tree and prints its path.
set -eu
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$SRC/build/package"
"$SRC/scripts/install-deps.sh" >&2
cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DOMBRIX_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" >/dev/null
rm -f "$BUILD"/ombrix_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null 2>&1) || { echo "cpack failed" >&2; exit 1; }
ls "$BUILD"/ombrix_*_*.deb
