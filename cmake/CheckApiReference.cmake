# Makes the API reference from the configured Doxyfile into a scratch
# directory and fails on any warning: a function, record, field or macro of
# the public headers without documentation, a parameter documented under a
# name the function does not have, or a broken command in a comment.
#   cmake -DDOXYGEN=... -DDOXYFILE=... -DSCRATCH=... -P CheckApiReference.cmake
foreach(variable DOXYGEN DOXYFILE SCRATCH)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
# The configured settings, with the output moved to the scratch directory.
file(WRITE "${SCRATCH}/Doxyfile"
     "@INCLUDE = ${DOXYFILE}\nOUTPUT_DIRECTORY = ${SCRATCH}\n")
execute_process(COMMAND "${DOXYGEN}" "${SCRATCH}/Doxyfile"
                RESULT_VARIABLE result
                OUTPUT_VARIABLE output
                ERROR_VARIABLE warnings)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "doxygen exited with ${result}:\n${warnings}${output}")
endif()
foreach(page index.html vesk80_8h.html vesk80__version_8h.html)
  if(NOT EXISTS "${SCRATCH}/html/${page}")
    message(FATAL_ERROR "the API reference has no ${page}")
  endif()
endforeach()
file(REMOVE_RECURSE "${SCRATCH}")
message(STATUS "API reference made without warnings")
