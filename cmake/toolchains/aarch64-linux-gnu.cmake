# Cross build for 64-bit ARM boards running Debian (arm64).
# Needs: crossbuild-essential-arm64, the :arm64 -dev packages, qemu-user
# (for the tests). scripts/build-cross arm64 installs them and uses this file.
set(NETWORKPROXY_CROSS_TRIPLET aarch64-linux-gnu)
set(NETWORKPROXY_CROSS_PROCESSOR aarch64)
set(NETWORKPROXY_CROSS_DEB_ARCH arm64)
set(NETWORKPROXY_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
