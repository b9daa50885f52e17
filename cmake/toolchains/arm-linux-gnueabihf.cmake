# Cross build for 32-bit ARM boards (ARMv7, hard float) running Debian
# (armhf). Needs: crossbuild-essential-armhf, the :armhf -dev packages,
# qemu-user (for the tests). scripts/build-cross armhf installs them and uses
# this file.
set(NETWORKPROXY_CROSS_TRIPLET arm-linux-gnueabihf)
set(NETWORKPROXY_CROSS_PROCESSOR arm)
set(NETWORKPROXY_CROSS_DEB_ARCH armhf)
set(NETWORKPROXY_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
