# Puts beside a Windows program the DLLs it imports from SEARCH (a directory list), and the
# ones those import in turn, read from the import tables with objdump; removes DLLs left there by
# an earlier build that it no longer imports. Windows' own DLLs are not in SEARCH and stay out.
# A MinGW runtime DLL among the imports is an error: those are linked in, so the game runs on a
# machine without MinGW.
#   cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DPROGRAM=dir/game.exe -DSEARCH=prefix/bin -P StageWindowsDlls.cmake

cmake_minimum_required(VERSION 3.23)

foreach(var IN ITEMS OBJDUMP PROGRAM SEARCH)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "StageWindowsDlls: ${var} is not set")
  endif()
endforeach()
get_filename_component(dest ${PROGRAM} DIRECTORY)

set(queue ${PROGRAM})
set(staged)
while(queue)
  list(POP_FRONT queue binary)
  execute_process(COMMAND ${OBJDUMP} -p ${binary} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
  foreach(line IN LISTS imports)
    string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    if(lower MATCHES "^(libstdc\\+\\+|libgcc|libwinpthread|libssp|zlib1)")
      get_filename_component(name ${binary} NAME)
      message(FATAL_ERROR "${name} imports ${dll}, which is to be linked in statically")
    endif()
    if(lower IN_LIST staged)
      continue()
    endif()
    foreach(dir IN LISTS SEARCH)
      if(EXISTS ${dir}/${dll})
        file(COPY_FILE ${dir}/${dll} ${dest}/${dll} ONLY_IF_DIFFERENT)
        list(APPEND staged ${lower})
        list(APPEND queue ${dir}/${dll})
        break()
      endif()
    endforeach()
  endforeach()
endwhile()

file(GLOB present ${dest}/*.dll ${dest}/*.DLL)
foreach(file IN LISTS present)
  get_filename_component(name ${file} NAME)
  string(TOLOWER "${name}" lower)
  if(NOT lower IN_LIST staged)
    file(REMOVE ${file})
  endif()
endforeach()
