#!/bin/sh
# Installs the Debian packages Ombrix needs to build, run and test.
# Idempotent: asks apt-get only for what is missing. As root it installs them;
# otherwise it prints the exact apt-get line to run and fails.
set -eu

PACKAGES="cmake g++ pkg-config libsqlite3-dev libtag1-dev libavformat-dev \
libavcodec-dev libavutil-dev libjpeg62-turbo-dev libseccomp-dev libgtest-dev \
ffmpeg sqlite3 diffutils findutils faketime \
dpkg-dev fakeroot file groff-base systemd binutils"

missing=""
for pkg in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Ombrix needs these Debian packages:$missing" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get install -y$missing" >&2
    exit 1
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine has no package lists; an install from stale lists can 404.
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
