# Run by cpack once the package's files are staged (CPACK_PRE_BUILD_SCRIPTS): writes the
# package's Depends from the libraries the staged nalvo really loads, the way
# dpkg-shlibdeps would for a native build (which it cannot do for a cross build). libc6
# gets the newest glibc symbol version the program refers to, so that dpkg refuses the
# package on a system whose C library is too old instead of the program failing to start.
# adduser, which the maintainer scripts use, is added to those.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/*/bin/nalvo")
if(NOT programs)
  message(FATAL_ERROR "nalvo is not among the staged files in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
list(GET programs 0 program)
set(readelf "${CPACK_NALVO_READELF}")
if(NOT readelf)
  set(readelf readelf)
endif()
execute_process(COMMAND "${readelf}" --dynamic --version-info --wide "${program}"
                OUTPUT_VARIABLE elf RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${readelf} could not read ${program}")
endif()

set(glibc "")
string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" names "${elf}")
foreach(name IN LISTS names)
  string(REPLACE "Name: GLIBC_" "" version "${name}")
  if(version VERSION_GREATER glibc)
    set(glibc "${version}")
  endif()
endforeach()

set(depends "")
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${elf}")
foreach(entry IN LISTS needed)
  string(REGEX REPLACE "Shared library: \\[(.*)\\]" "\\1" lib "${entry}")
  if(lib STREQUAL "libasound.so.2")
    list(APPEND depends "libasound2 (>= 1.1)")
  elseif(lib MATCHES "^(libc|libm|libpthread|libdl|librt)\\.so\\.[0-9]+$" OR
         lib MATCHES "^ld-linux.*\\.so\\.[0-9]+$")
    if(glibc)
      list(APPEND depends "libc6 (>= ${glibc})")
    else()
      list(APPEND depends "libc6")
    endif()
  elseif(lib STREQUAL "libstdc++.so.6")
    list(APPEND depends "libstdc++6")
  elseif(lib STREQUAL "libgcc_s.so.1")
    list(APPEND depends "libgcc-s1")
  else()
    message(FATAL_ERROR "nalvo needs ${lib}, and cmake/deb-depends.cmake knows no Debian "
                        "package for it: add one")
  endif()
endforeach()
list(REMOVE_DUPLICATES depends)
list(APPEND depends adduser)
list(JOIN depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
