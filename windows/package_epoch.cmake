# CPack reads this before it makes each package (cmake/WindowsPackage.cmake): the time every
# file in the packages carries, so that the same sources and tools give the same bytes.
# SOURCE_DATE_EPOCH from the environment, as distributions set it; else the last commit's time;
# else the time of the sources' CMakeLists.txt. Exported, so strip stamps the program's PE header
# with it too, and the scripts that follow read it.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C ${CPACK_BRACKENREACH_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    file(TIMESTAMP ${CPACK_BRACKENREACH_SOURCE_DIR}/CMakeLists.txt epoch "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
