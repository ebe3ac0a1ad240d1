# Run by cpack once the package's files are staged and stripped (CPACK_PRE_BUILD_SCRIPTS):
# removes the .comment and .note sections from the staged nalvo, as Debian's own packaging
# tools do. They only name the compilers that built it, and no program reads them.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/*/bin/nalvo")
if(NOT programs)
  message(FATAL_ERROR "nalvo is not among the staged files in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
set(strip "${CPACK_NALVO_STRIP}")
if(NOT strip)
  set(strip strip)
endif()
foreach(program IN LISTS programs)
  execute_process(COMMAND "${strip}" --remove-section=.comment --remove-section=.note
                          "${program}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${strip} could not remove .comment and .note from ${program}")
  endif()
endforeach()
