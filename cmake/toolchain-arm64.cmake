# Debian arm64 (64-bit ARM): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(NALVO_CROSS_TRIPLET aarch64-linux-gnu)
set(NALVO_CROSS_PROCESSOR aarch64)
set(NALVO_CROSS_DEB_ARCH arm64)
set(NALVO_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
