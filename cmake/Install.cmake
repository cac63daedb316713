# Installation layout and packaging.
#
#   cmake --install build [--prefix P]     the game under P (default CMAKE_INSTALL_PREFIX)
#   cd build && cpack -G DEB               a Debian package installing under /usr
#
# The client only reads its working directory, so it lives off the PATH and the `brackenreach`
# launcher on the PATH builds a per-user working directory from the read-only data and starts it.

include(GNUInstallDirs)

set(BRACKENREACH_LIBEXEC_DIR ${CMAKE_INSTALL_LIBEXECDIR}/brackenreach)
set(BRACKENREACH_DATA_DIR ${CMAKE_INSTALL_DATADIR}/brackenreach)

install(TARGETS brackenreach RUNTIME DESTINATION ${BRACKENREACH_LIBEXEC_DIR})
install(TARGETS brackenreach-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES data/config.ini DESTINATION ${BRACKENREACH_DATA_DIR})
install(DIRECTORY data/img data/audio DESTINATION ${BRACKENREACH_DATA_DIR})

install(FILES data/brackenreach.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/icons/brackenreach.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
install(FILES LICENSE CREDITS DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The launcher finds the client and the data relative to its own directory, which keeps a tree
# relocatable (cpack and `--prefix` pick the prefix after configuring). A directory set to an
# absolute path cannot move with the prefix, so it goes in as it is.
function(brackenreach_path_from_bindir out dir)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
    if(NOT IS_ABSOLUTE "${dir}")
      set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
    endif()
  else()
    # Any root works: only the two directories' relation is wanted.
    file(RELATIVE_PATH rel "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${dir}")
    set(${out} "${rel}" PARENT_SCOPE)
  endif()
endfunction()
brackenreach_path_from_bindir(LAUNCHER_CLIENT "${BRACKENREACH_LIBEXEC_DIR}/brackenreach")
brackenreach_path_from_bindir(LAUNCHER_DATA "${BRACKENREACH_DATA_DIR}")
configure_file(tools/brackenreach-launcher.sh.in ${CMAKE_BINARY_DIR}/launcher/brackenreach @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/launcher/brackenreach DESTINATION ${CMAKE_INSTALL_BINDIR})

# --- Debian package ---

set(BRACKENREACH_MAINTAINER "The Brackenreach developers <developers@brackenreach.invalid>"
  CACHE STRING "Maintainer line of the Debian package")

# Values reach CPackConfig.cmake as written here (no second round of escaping).
set(CPACK_VERBATIM_VARIABLES YES)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brackenreach)
set(CPACK_PACKAGE_VENDOR "The Brackenreach developers")
set(CPACK_PACKAGE_CONTACT "${BRACKENREACH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "online 2D role-playing game")
# dpkg shows the lines as they are: kept under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Brackenreach is an online 2D role-playing game: walk your character across"
  "a map larger than the window, with your name above it and music in a loop,"
  "while the game server follows your position. The package holds the desktop"
  "client, started with the brackenreach command, and a small game server of"
  "its own, brackenreach-server.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRACKENREACH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The launcher links the font found with fc-match; the binaries' libraries come from
# dpkg-shlibdeps when it is there (it needs `file` too), else from this list of Debian 12's names.
set(runtime_depends "fonts-crosextra-carlito, fontconfig")
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
find_program(FILE_EXECUTABLE file)
if(DPKG_SHLIBDEPS_EXECUTABLE AND FILE_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(PREPEND runtime_depends
    "libsdl1.2debian, libsdl-image1.2, libsdl-mixer1.2, libsdl-net1.2, libsdl-ttf2.0-0, libsimpleini1, ")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${runtime_depends}")

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build/" "/__pycache__/")

include(CPack)
