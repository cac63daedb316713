# The unit tables, built with MinGW against the Windows modules and run by ctest under Wine in a
# prefix of the build's own (tools/wine_prefix.sh makes it once). GoogleTest is compiled here from
# Debian's sources (googletest: /usr/src/googletest), as no MinGW build of it is packaged.
# test_admission.cpp and test_proxy_header.cpp stay out: they check the server, which is
# Linux's alone.

set(BRACKENREACH_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest)")
if(NOT EXISTS ${BRACKENREACH_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(WARNING "GoogleTest's sources not found: the Windows unit tables are not built "
    "(tools/setup.sh test installs googletest)")
  return()
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${BRACKENREACH_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB unit_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
list(FILTER unit_sources EXCLUDE REGEX "/test_(admission|proxy_header)\\.cpp$")
add_executable(unit_tests ${unit_sources})
target_link_libraries(unit_tests PRIVATE brackenreach_client gtest_main)
# Wine maps the building machine's root to a drive of its own, so these paths open as they are.
target_compile_definitions(unit_tests PRIVATE
  BRACKENREACH_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  BRACKENREACH_GAME_DIR="${GAME_DIR}")
set_target_properties(unit_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(unit_tests game)
brackenreach_stage_dlls(unit_tests)

# One ctest entry for the whole binary: each start of a Windows program under Wine costs about a
# second, which a test per row would pay a hundred times.
add_test(NAME unit_tests_windows COMMAND unit_tests)
set_tests_properties(unit_tests_windows PROPERTIES TIMEOUT 300)

# The hardening, resources and manifest the staged binaries carry (read with objdump, no Wine).
add_test(NAME windows_binaries COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DNM=${CMAKE_NM}
  -DGAME_DIR=${GAME_DIR} -P ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.cmake)

# The packages made twice are the same bytes (windows/check_reproducible.cmake): about 15 s of
# cpack, and no Wine.
add_test(NAME windows_packages_reproducible COMMAND ${CMAKE_COMMAND} -DCPACK=${CMAKE_CPACK_COMMAND}
  -DBUILD_DIR=${CMAKE_BINARY_DIR} -DGAME_DIR=${GAME_DIR} -DOUT=${CMAKE_BINARY_DIR}/reproducible
  -P ${CMAKE_CURRENT_SOURCE_DIR}/check_reproducible.cmake)
set_tests_properties(windows_packages_reproducible PROPERTIES TIMEOUT 300)

# tools/build_windows.sh --release refuses without the archive and leaves no earlier package
# under the release's names (windows/check_release.cmake): seconds, no Wine.
add_test(NAME windows_release_refuses COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
  -DOUT=${CMAKE_BINARY_DIR}/release-check -P ${CMAKE_CURRENT_SOURCE_DIR}/check_release.cmake)
