# Stages build/game/: the working directory the client expects (config.ini, img/, audio/ and
# calibri.ttf), so `cd build/game && ../brackenreach` runs the game.

set(GAME_DIR ${CMAKE_BINARY_DIR}/game)
set(staged_files)

file(GLOB_RECURSE game_data RELATIVE ${CMAKE_SOURCE_DIR}/data CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/data/config.ini
  ${CMAKE_SOURCE_DIR}/data/img/*
  ${CMAKE_SOURCE_DIR}/data/audio/*)
# The Windows game's settings with Windows' line ends, as its packages ship them: Notepad before
# Windows 10 (1809) shows a file of bare line feeds as one line.
if(WIN32)
  configure_file(${CMAKE_SOURCE_DIR}/data/config.ini ${GAME_DIR}/config.ini @ONLY NEWLINE_STYLE CRLF)
  list(REMOVE_ITEM game_data config.ini)
  list(APPEND staged_files ${GAME_DIR}/config.ini)
endif()
foreach(rel IN LISTS game_data)
  add_custom_command(
    OUTPUT ${GAME_DIR}/${rel}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/data/${rel} ${GAME_DIR}/${rel}
    DEPENDS ${CMAKE_SOURCE_DIR}/data/${rel}
    COMMENT "Staging ${rel}"
    VERBATIM)
  list(APPEND staged_files ${GAME_DIR}/${rel})
endforeach()

# The game opens "calibri.ttf"; Carlito is metric-compatible and free, so the build takes the
# system's copy (fonts-crosextra-carlito) rather than shipping a font file.
find_program(FC_MATCH fc-match)
set(BRACKENREACH_FONT "" CACHE FILEPATH "TrueType font staged as calibri.ttf (found with fc-match when empty)")
set(game_font "${BRACKENREACH_FONT}")
if(NOT game_font AND FC_MATCH)
  execute_process(COMMAND ${FC_MATCH} -f "%{file}" "Carlito:style=Regular"
    OUTPUT_VARIABLE game_font OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  get_filename_component(font_name "${game_font}" NAME)
  if(NOT font_name MATCHES "^Carlito")
    set(game_font "")
  endif()
endif()
if(game_font AND EXISTS "${game_font}")
  message(STATUS "Game font: ${game_font}")
  add_custom_command(
    OUTPUT ${GAME_DIR}/calibri.ttf
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${game_font} ${GAME_DIR}/calibri.ttf
    DEPENDS ${game_font}
    COMMENT "Staging calibri.ttf from ${game_font}"
    VERBATIM)
  list(APPEND staged_files ${GAME_DIR}/calibri.ttf)
else()
  message(WARNING "Carlito not found (install fonts-crosextra-carlito): the game runs without a name label")
endif()

add_custom_target(game ALL DEPENDS ${staged_files})
