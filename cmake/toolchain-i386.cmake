# cmake/toolchain-i386.cmake: 32-bit little-endian build with Debian multiarch.
#
# Compiles with the i686 cross compiler against the :i386 packages installed
# beside the host's (headers in /usr/include/i386-linux-gnu, libraries in
# /usr/lib/i386-linux-gnu) and finds them with pkgconf's i686 personality.
# scripts/cross-test.sh i386 installs all of that.
#
# The tests run under qemu-user: x86-64 kernels built without 32-bit support
# (CI's among them) refuse i386 binaries. Being a cross build, the tests that
# start the Ombrix binary itself skip, as on s390x.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

# The multiarch directory name (i386) differs from the GNU triplet (i686).
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(PKG_CONFIG_EXECUTABLE i686-linux-gnu-pkg-config CACHE FILEPATH
    "pkg-config that reports the :i386 packages")

# The host's own multiarch tree holds the i386 loader and libraries, so qemu
# needs no library prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
