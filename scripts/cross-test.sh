#!/bin/sh
# Builds Ombrix with its tests for another processor and runs them with CTest.
#
#   scripts/cross-test.sh i386    32-bit little-endian: Debian multiarch (:i386
#                                 packages, the i686 cross compiler); the
#                                 tests run under qemu-user, since CI's
#                                 kernel does not run 32-bit binaries.
#   scripts/cross-test.sh s390x   64-bit big-endian: an s390x sysroot under
#                                 build/, the s390x cross compiler; the tests
#                                 run under qemu-user.
#
# The appliance is 32-bit and big-endian; no machine here is both, so the two
# axes are covered one at a time. Installs what is missing (as root, like
# scripts/install-deps.sh; a second run installs nothing), then builds in
# build/<target> and runs every test; those that start the daemon or a tool
# skip themselves there, and the package test is not registered. The cross
# builds have no sanitizers and use -O1 without debug information: compiling
# is most of their cost.
#
# Exits non-zero when anything fails.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)

usage() {
  echo "usage: $0 i386|s390x" >&2
  exit 2
}
[ $# -eq 1 ] || usage
TARGET=$1
case "$TARGET" in
  i386 | s390x) ;;
  *) usage ;;
esac

BUILD="$ROOT/build/$TARGET"
SYSROOT="$ROOT/build/sysroot-s390x"
JOBS=$(nproc)
[ "$JOBS" -le 2 ] || JOBS=2  # CI has two cores; more jobs only add memory pressure

log() { echo "cross-test $TARGET [$(date +%T)]: $*"; }

# The Debian -dev packages of every library, as CMake names them in its
# ombrix_require() calls (package name last), so a new dependency is picked up
# here without a second list.
devPackages() {
  sed -n 's/^[[:space:]]*ombrix_require([A-Z_]* [^ ]* \([^ )]*\)).*/\1/p' \
    CMakeLists.txt tests/CMakeLists.txt
}

isInstalled() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs the packages given that are not installed yet.
installMissing() {
  missing=""
  for pkg in "$@"; do
    isInstalled "$pkg" || missing="$missing $pkg"
  done
  [ -n "$missing" ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "The $TARGET tests need these Debian packages:$missing" >&2
    echo "Install them with:  sudo apt-get install -y$missing" >&2
    exit 1
  fi
  log "installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  # A fresh machine, or a newly added architecture, has no package lists.
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

prepareI386() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "Run as root, or: sudo dpkg --add-architecture i386" >&2
      exit 1
    fi
    dpkg --add-architecture i386
  fi
  # g++-i686-linux-gnu, not g++-multilib, which conflicts with the s390x
  # cross compiler.
  # shellcheck disable=SC2046
  installMissing qemu-user-static g++-i686-linux-gnu pkgconf:i386 \
    $(devPackages | sed 's/$/:i386/')
}

# Prints the host's Debian sources for its own release as one-line entries
# ("deb [signed-by=KEY] URI SUITE COMPONENTS"), read from the apt
# configuration in both its formats. Only suites of the host's release (and
# its -updates and -security) are kept, which leaves out third-party sources.
hostSources() {
  codename=$1
  {
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$file" ] || continue
      sed -n 's/^[[:space:]]*deb[[:space:]]\{1,\}//p' "$file" | sed 's/#.*//' |
        awk '{ opts = ""
               if ($1 ~ /^\[/) { while ($1 !~ /\]$/) { opts = opts $1 " "; $1 = ""; $0 = $0 }
                                 opts = opts $1; $1 = ""; $0 = $0 }
               key = ""
               if (match(opts, /signed-by=[^] ]+/)) key = substr(opts, RSTART + 10, RLENGTH - 10)
               comps = ""; for (i = 3; i <= NF; i++) comps = comps " " $i
               print key "\t" $1 "\t" $2 "\t" comps }'
    done
    for file in /etc/apt/sources.list.d/*.sources; do
      [ -f "$file" ] || continue
      # deb822 stanzas; continuation lines (a key's further lines) are
      # appended to the key before them.
      awk 'function flush(   n, m, i, j, uri, suite, key) {
             if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
               key = (signedby ~ /^\//) ? signedby : ""
               n = split(uris, uri, " "); m = split(suites, suite, " ")
               for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
                 print key "\t" uri[i] "\t" suite[j] "\t " comps
             }
             types = uris = suites = comps = signedby = ""; enabled = "yes"; last = ""
           }
           BEGIN { enabled = "yes" }
           /^#/ { next }
           /^[[:space:]]*$/ { flush(); next }
           /^[[:space:]]/ { if (last == "types") types = types " " $0
                            else if (last == "uris") uris = uris " " $0
                            else if (last == "suites") suites = suites " " $0
                            else if (last == "components") comps = comps " " $0
                            next }
           { field = tolower($1); sub(/:$/, "", field); $1 = ""; sub(/^[[:space:]]+/, "")
             last = field
             if (field == "types") types = $0
             else if (field == "uris") uris = $0
             else if (field == "suites") suites = $0
             else if (field == "components") comps = $0
             else if (field == "enabled") enabled = $0
             else if (field == "signed-by") signedby = $0 }
           END { flush() }' "$file"
    done
  } | awk -F '\t' -v codename="$codename" '
        $3 == codename || index($3, codename "-") == 1 {
          opt = ($1 != "") ? "[signed-by=" $1 "] " : ""
          print "deb " opt $2 " " $3 $4 }'
}

# Rewrites every absolute symbolic link under $1 as a relative one, so that
# the link resolves inside the sysroot for the cross linker rather than on
# the host ("/lib/x" from "usr/lib/y" becomes "../../lib/x").
relativizeLinks() {
  find "$1" -type l -lname '/*' -printf '%P\n' | while IFS= read -r link; do
    target=$(readlink "$1/$link")
    up=$(dirname "$link" | sed 's|[^/][^/]*|..|g')
    case "$up" in
      .) up="" ;;
      *) up="$up/" ;;
    esac
    ln -sfn "$up${target#/}" "$1/$link"
  done
}

prepareS390x() {
  installMissing mmdebstrap qemu-user-static g++-s390x-linux-gnu
  packages=$({ printf '%s\n' libc6-dev libstdc++-12-dev; devPackages; } | paste -sd, -)
  # shellcheck disable=SC1091  # the host's file, read at run time
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  # The sysroot is kept between runs; it is made anew only when the release
  # or the package list changed, or a previous attempt did not finish.
  stamp="$SYSROOT/.ombrix-packages"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$codename $packages" ]; then
    return 0
  fi
  sources=$(hostSources "$codename")
  if [ -z "$sources" ]; then
    echo "No Debian source for $codename found in the apt configuration" >&2
    exit 1
  fi
  log "extracting the sysroot ($codename) from:"
  echo "$sources" | sed 's/^/  /'
  rm -rf "$SYSROOT" "$SYSROOT.part"
  mkdir -p "$(dirname "$SYSROOT")"
  # One argument per source line; "extract" unpacks the packages and their
  # dependencies without running any maintainer script.
  echo "$sources" | {
    set --
    while IFS= read -r line; do set -- "$@" "$line"; done
    mmdebstrap --quiet --variant=extract --arch=s390x --include="$packages" \
      "$codename" "$SYSROOT.part" "$@"
  }
  relativizeLinks "$SYSROOT.part"
  mv "$SYSROOT.part" "$SYSROOT"
  echo "$codename $packages" >"$stamp"
}

case "$TARGET" in
  i386) prepareI386 ;;
  s390x) prepareS390x ;;
esac

log "building in build/$TARGET"
# CMake takes the system and compilers from a toolchain file only when it
# first configures a tree, so a tree made with another version of the file is
# made anew.
toolchainSum=$(cksum <"cmake/toolchain-$TARGET.cmake")
if [ "$(cat "$BUILD/.toolchain-sum" 2>/dev/null)" != "$toolchainSum" ]; then
  rm -rf "$BUILD"
  mkdir -p "$BUILD"
  echo "$toolchainSum" >"$BUILD/.toolchain-sum"
fi
# Fault injection as in the native test tree, so both build the same tests.
cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$TARGET.cmake" \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O1 -DCMAKE_CXX_FLAGS_DEBUG=-O1 \
  -DOMBRIX_FAULT_INJECTION=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"
log "built; running the tests"
cd "$BUILD"
# Some tests crash a child on purpose; qemu would write each one's core file.
# shellcheck disable=SC3045  # dash, Debian's sh, has ulimit -c
ulimit -c 0
# Under the emulator everything is several times slower: the tests wait for
# events, never for time, and their limits are wider there (test builds know
# they are cross-compiled), so a failure is a failure.
ctest --output-on-failure -j "$JOBS"
log "done"
