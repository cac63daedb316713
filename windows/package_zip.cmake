# Run by CPack once it has made the packages (cmake/WindowsPackage.cmake): the zip rewritten so
# that the same files give the same bytes (windows/normalize_zip.py).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    execute_process(COMMAND ${CPACK_BRACKENREACH_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/normalize_zip.py
      ${package} $ENV{SOURCE_DATE_EPOCH} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
