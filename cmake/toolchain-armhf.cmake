# Debian armhf (32-bit ARM, hard float): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(NALVO_CROSS_TRIPLET arm-linux-gnueabihf)
set(NALVO_CROSS_PROCESSOR arm)
set(NALVO_CROSS_DEB_ARCH armhf)
set(NALVO_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
