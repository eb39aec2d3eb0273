# Read by cpack before it packs: every time in a package is the last
# commit's (or SOURCE_DATE_EPOCH's, where the caller sets one), so that one
# commit packs to the same bytes wherever and whenever it is built.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY "${CPACK_LOADPREP_SOURCE}"
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch) # a tree without git: git archive gives files its time
    file(TIMESTAMP "${CPACK_LOADPREP_SOURCE}/CMakeLists.txt" epoch "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
