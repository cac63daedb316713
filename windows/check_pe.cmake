# Checks what the staged game's binaries carry, read from their PE headers with objdump: every
# one randomised with high entropy and never executing data; the program with the stack
# protector, its icon (under the name SDL gives the window), version information and a manifest
# asking for no administrator rights and declaring it aware of each monitor's DPI. One row a
# binary; all failures are listed.
#   cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DNM=x86_64-w64-mingw32-nm -DGAME_DIR=game -P check_pe.cmake
cmake_minimum_required(VERSION 3.23)

set(hardened "HIGH_ENTROPY_VA,DYNAMIC_BASE,NX_COMPAT")
# name | DllCharacteristics flags | resource types (ICON 0x3, GROUP_ICON 0xe, VERSION 0x10,
# MANIFEST 0x18) | resource names | symbols | texts
set(rows
  "brackenreach.exe|${hardened}|0x000003,0x00000e,0x000010,0x000018|SDL_APP|__stack_chk_fail|level=\"asInvoker\",PerMonitorV2"
  "SDL.dll|${hardened}||||"
  "SDL_mixer.dll|${hardened}||||")

set(failures)
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 flags)
  list(GET fields 2 types)
  list(GET fields 3 names)
  list(GET fields 4 symbols)
  list(GET fields 5 texts)
  foreach(list_var IN ITEMS flags types names symbols texts)
    string(REPLACE "," ";" ${list_var} "${${list_var}}")
  endforeach()
  set(file ${GAME_DIR}/${name})
  if(NOT EXISTS ${file})
    list(APPEND failures "${name}: not staged")
    continue()
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "DllCharacteristics[^\n]*\n((\t\t[^\n]*\n)*)" _ "${dump}")
  set(present "${CMAKE_MATCH_1}")
  foreach(flag IN LISTS flags)
    if(NOT present MATCHES "\t${flag}\n")
      list(APPEND failures "${name}: no ${flag}")
    endif()
  endforeach()
  # The resource directory's first level lists the types, its second the names.
  foreach(type IN LISTS types)
    if(NOT dump MATCHES "\n[0-9a-f]+   Entry: ID: ${type},")
      list(APPEND failures "${name}: no resource of type ${type}")
    endif()
  endforeach()
  foreach(resource IN LISTS names)
    if(NOT dump MATCHES "Entry: name: [^\n]*: ${resource},")
      list(APPEND failures "${name}: no resource named ${resource}")
    endif()
  endforeach()
  if(symbols)
    execute_process(COMMAND ${NM} ${file} OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
    foreach(symbol IN LISTS symbols)
      if(NOT table MATCHES " T ${symbol}\n")
        list(APPEND failures "${name}: ${symbol} not linked in")
      endif()
    endforeach()
  endif()
  foreach(text IN LISTS texts)
    file(STRINGS ${file} found LIMIT_COUNT 1 REGEX "${text}")
    if(NOT found)
      list(APPEND failures "${name}: no ${text}")
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "the staged binaries lack:\n  ${text}")
endif()
list(LENGTH rows count)
message(STATUS "${count} binaries carry what they should")
