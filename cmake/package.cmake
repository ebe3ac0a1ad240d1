# The Debian package (cpack in the build directory): the program, its manual page, the
# service for unattended recording, the licence and the changelog. Nothing under tests/ has
# an install rule, so neither the tests nor the fake capture device can end up in it.
#
# The manual page carries the project's version, and is installed compressed the way Debian
# wants it: gzip -9, and -n to leave out the name and time stamp so that the same page
# always gives the same bytes.
find_program(GZIP_PROGRAM gzip REQUIRED)
configure_file(${PROJECT_SOURCE_DIR}/man/nalvo.1.in ${PROJECT_BINARY_DIR}/man/nalvo.1 @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/man/nalvo.1.gz
  COMMAND ${GZIP_PROGRAM} -9n -c nalvo.1 > nalvo.1.gz
  DEPENDS ${PROJECT_BINARY_DIR}/man/nalvo.1
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/man
  COMMENT "Compressing the manual page")
add_custom_target(nalvo_manpage ALL DEPENDS ${PROJECT_BINARY_DIR}/man/nalvo.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/man/nalvo.1.gz DESTINATION share/man/man1)

# Unattended recording: the templated unit nalvo@.service runs the wrapper nalvo-service,
# which reads /etc/nalvo/<instance>.conf and records with nalvo; the generator
# nalvo-service-generator gives each instance its directory; an example configuration goes
# with the documentation. The unit and the generator are written when installing
# (install-service.cmake).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/nalvo-service DESTINATION libexec/nalvo)
install(CODE "set(NALVO_SERVICE_SOURCE \"${PROJECT_SOURCE_DIR}/packaging\")
set(NALVO_SERVICE_STAGING \"${PROJECT_BINARY_DIR}/packaging/install\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install-service.cmake)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/field.conf DESTINATION share/doc/nalvo/examples)

set(NALVO_PACKAGE_MAINTAINER "nalvo maintainers <maintainers@nalvo.invalid>" CACHE STRING
    "Maintainer field of the Debian package")

# /usr/share/doc/nalvo/copyright in Debian's machine-readable format, made from LICENSE so
# that the licence text and its copyright line are written once. In the format, the licence
# text is indented by one blank and an empty line is written as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" copyright_line "${licence}")
set(NALVO_COPYRIGHT "${CMAKE_MATCH_1}")
string(FIND "${licence}" "Permission " text_start)
if(NOT NALVO_COPYRIGHT OR text_start EQUAL -1)
  message(FATAL_ERROR "LICENSE has no \"Copyright (c) ...\" line or no \"Permission ...\" text")
endif()
string(SUBSTRING "${licence}" ${text_start} -1 text)
string(STRIP "${text}" text)
string(REPLACE "\n" "\n " text " ${text}")
string(REGEX REPLACE "\n \n" "\n .\n" NALVO_LICENSE_TEXT "${text}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in
               ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright DESTINATION share/doc/nalvo)

# The package's version is the project's with a Debian revision, raised when only the
# packaging changes. /usr/share/doc/nalvo/changelog.Debian.gz is made from
# packaging/changelog.in, whose top entry takes that version; for a new version, write the
# top entry's version out in full and add an entry for the new one above it.
set(NALVO_DEB_REVISION 1)
set(NALVO_DEB_VERSION "${PROJECT_VERSION}-${NALVO_DEB_REVISION}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
  COMMAND ${GZIP_PROGRAM} -9n -c changelog.Debian > changelog.Debian.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
  COMMENT "Compressing the package's changelog")
add_custom_target(nalvo_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz DESTINATION share/doc/nalvo)
# The lintian tags that do not apply to this package, each with the reason.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
        RENAME nalvo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nalvo)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NALVO_DEB_REVISION})
set(CPACK_PACKAGE_CONTACT "${NALVO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "record one or two inputs of an ALSA capture device into WAV files")
# The extended description; the summary above is its first line.
set(CPACK_PACKAGE_DESCRIPTION
    "nalvo records one or two inputs of an ALSA capture device into uncompressed PCM
WAV files, 16-bit or packed 24-bit, at 44.1, 48, 88.2 or 96 kHz, for a duration
given on the command line, with a console level meter. Every file it leaves
has a header that tells the truth about the data in it, however the recording
ends. A systemd service, nalvo@.service, records one file after another from
boot once an instance of it is set up and enabled.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Maintainer scripts that make the service's user (with adduser), stop its instances on
# removal and reload systemd's view of the units; nothing is enabled.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/prerm
                                       ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPACK_DEBIAN_PACKAGE_ARCHITECTURE: a cross toolchain file sets the target's; otherwise
# CPack asks dpkg for the host's.
#
# Once the files are staged: deb-strip.cmake takes out the sections dh_strip would, and
# deb-depends.cmake writes CPACK_DEBIAN_PACKAGE_DEPENDS from the libraries the staged
# program needs (dpkg-shlibdeps cannot work that out for a cross build). Both use the
# toolchain's binutils, which know the target's ELF.
set(CPACK_NALVO_READELF "${CMAKE_READELF}")
set(CPACK_NALVO_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-strip.cmake
                            ${CMAKE_CURRENT_LIST_DIR}/deb-depends.cmake)

include(CPack)
