# Shared part of the toolchain files for Debian's cross compilers (crossbuild-essential-*).
# The including file sets NALVO_CROSS_TRIPLET (GNU triplet), NALVO_CROSS_PROCESSOR,
# NALVO_CROSS_DEB_ARCH (Debian architecture) and NALVO_CROSS_QEMU (qemu-user program).
#
# The target's libraries (libasound2-dev, libgtest-dev, and the run-time libraries the
# programs need under the emulator) are Debian's own packages of that architecture,
# installed beside the host's through multiarch into /usr/lib/<triplet>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${NALVO_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${NALVO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NALVO_CROSS_TRIPLET}-g++)
# GCC notes on ARM that passing some structures by value changed in GCC 7.1: it matters
# only when linking with code built by an older compiler, which never happens here.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# The cross toolchain's own C library lives in /usr/<triplet>; the multiarch packages
# in /usr/lib/<triplet>, which is searched as usual once the compiler has told CMake
# its library architecture. Programs are always the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${NALVO_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must read the target's .pc files only, never the host's.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${NALVO_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")

# Target programs (the tests, and nalvo started by the end-to-end tests) run under
# qemu-user. No -L: the dynamic loader and every library come from the multiarch
# packages in the host's own tree, one consistent set. The cross toolchain's copies in
# /usr/<triplet> are another build of glibc, and a loader of one build with a libc of
# the other does not work.
find_program(NALVO_CROSS_EMULATOR ${NALVO_CROSS_QEMU})
if(NALVO_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NALVO_CROSS_EMULATOR})
endif()

# The Debian package is for the target, not for the machine that builds it.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NALVO_CROSS_DEB_ARCH})
