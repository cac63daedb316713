# Run by CPack between staging the files and packing them (cmake/WindowsPackage.cmake): every
# staged file and directory gets the time SOURCE_DATE_EPOCH (windows/package_epoch.cmake), which
# the installer and the zip keep; strip has just given the program the time of its run.
execute_process(COMMAND find ${CPACK_TEMPORARY_DIRECTORY} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
  COMMAND_ERROR_IS_FATAL ANY)
