# Shared part of the cross toolchain files: builds for a Debian board on a
# Debian 12 PC with the distribution's cross compilers and the board's
# libraries installed side by side as multiarch packages (<pkg>:<arch>).
#
# The including file sets, before including this one:
#   NETWORKPROXY_CROSS_TRIPLET   GNU triplet, e.g. aarch64-linux-gnu
#   NETWORKPROXY_CROSS_PROCESSOR CMAKE_SYSTEM_PROCESSOR value
#   NETWORKPROXY_CROSS_DEB_ARCH  Debian architecture name, e.g. arm64
#   NETWORKPROXY_CROSS_QEMU      user-mode emulator name, e.g. qemu-aarch64
#
# There is no separate sysroot: multiarch puts the board's headers under
# /usr/include/<triplet> and its libraries under /usr/lib/<triplet>, which the
# cross compiler already searches, and every file in those trees belongs to
# the target, so nothing of the build machine can leak into the link.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${NETWORKPROXY_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${NETWORKPROXY_CROSS_TRIPLET})

set(CMAKE_C_COMPILER /usr/bin/${NETWORKPROXY_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER /usr/bin/${NETWORKPROXY_CROSS_TRIPLET}-g++)

# Without a separate sysroot the host's /usr is also the target's, so the
# find_* commands look there directly; CMAKE_LIBRARY_ARCHITECTURE keeps them
# in the target's lib/<triplet> directories. Programs (pkg-config, python3,
# qemu) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must read the board's .pc files, never the build machine's: a
# host libcurl.pc would hand the cross linker x86-64 library paths.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${NETWORKPROXY_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs run under user-mode emulation. The emulator's library root is
# the host's own /, where the multiarch libc6:<arch> put the target's loader
# (/lib/ld-linux-*.so.*) next to its libc. Pointing it at the cross
# toolchain's tree (/usr/<triplet>) instead mixes that tree's older loader with
# the multiarch libc, and forked children then hang or crash. Host programs
# the target binary starts (curl, sh) still run natively: without binfmt_misc
# an execve of an x86-64 binary goes straight to the host kernel.
if(EXISTS /usr/bin/${NETWORKPROXY_CROSS_QEMU})
  set(_np_qemu /usr/bin/${NETWORKPROXY_CROSS_QEMU})
else()
  set(_np_qemu /usr/bin/${NETWORKPROXY_CROSS_QEMU}-static)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${_np_qemu} -L /)

# The Debian package is for the board, not for the machine that built it
# (CPack would otherwise ask dpkg, which answers amd64).
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NETWORKPROXY_CROSS_DEB_ARCH})
