# Makes the packages twice from the staged game, with the staged files' times changed in between,
# and compares them byte for byte: a time, an order or an owner taken from the build would show.
#   cmake -DCPACK=cpack -DBUILD_DIR=build-windows -DGAME_DIR=build-windows/game -DOUT=DIR -P check_reproducible.cmake
cmake_minimum_required(VERSION 3.23)

file(REMOVE_RECURSE ${OUT})
foreach(run IN ITEMS first second)
  execute_process(COMMAND ${CPACK} -B ${OUT}/${run} WORKING_DIRECTORY ${BUILD_DIR}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE staged ${GAME_DIR}/*)
  file(TOUCH_NOCREATE ${staged})
endforeach()

file(GLOB packages RELATIVE ${OUT}/first ${OUT}/first/*.exe ${OUT}/first/*.zip)
if(NOT packages)
  message(FATAL_ERROR "cpack made no package in ${OUT}/first")
endif()
set(differing)
foreach(package IN LISTS packages)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/first/${package}
    ${OUT}/second/${package} RESULT_VARIABLE differs)
  if(differs)
    list(APPEND differing ${package})
  endif()
endforeach()
if(differing)
  message(FATAL_ERROR "made twice, these packages differ: ${differing} (in ${OUT})")
endif()
file(REMOVE_RECURSE ${OUT})
message(STATUS "made twice, the same bytes: ${packages}")
