# Run when installing (install(SCRIPT) in package.cmake), by cmake --install or by cpack:
# writes nalvo@.service and its generator for the prefix installed to, which is only known
# then. Both name the wrapper, nalvo and the configuration directory by their installed paths:
# /usr/libexec/nalvo/nalvo-service, /usr/bin/nalvo and /etc/nalvo in the package, the same
# under /usr/local (and /usr/local/etc/nalvo) from a plain cmake --install. Makes the
# configuration directory too.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(sysconfdir /etc)
else()
  set(sysconfdir "${prefix}/etc")
endif()
set(NALVO_WRAPPER "${prefix}/libexec/nalvo/nalvo-service")
set(NALVO_PROGRAM "${prefix}/bin/nalvo")
set(NALVO_CONF_DIR "${sysconfdir}/nalvo")
configure_file("${NALVO_SERVICE_SOURCE}/nalvo@.service.in" "${NALVO_SERVICE_STAGING}/nalvo@.service"
               @ONLY)
file(INSTALL DESTINATION "${prefix}/lib/systemd/system" TYPE FILE
     FILES "${NALVO_SERVICE_STAGING}/nalvo@.service")
configure_file("${NALVO_SERVICE_SOURCE}/nalvo-service-generator.in"
               "${NALVO_SERVICE_STAGING}/nalvo-service-generator" @ONLY)
file(INSTALL DESTINATION "${prefix}/lib/systemd/system-generators" TYPE PROGRAM
     FILES "${NALVO_SERVICE_STAGING}/nalvo-service-generator")
file(INSTALL DESTINATION "${NALVO_CONF_DIR}" TYPE DIRECTORY FILES "")
