# Installation layout and packaging.
#
#   cmake --install build [--prefix P]     the game and its server under P (default CMAKE_INSTALL_PREFIX)
#   cd build && cpack -G DEB               Debian packages installing under /usr: brackenreach
#                                          (the client), brackenreach-server and, when Emscripten
#                                          is installed, brackenreach-web (the browser page)
#
# The client only reads its working directory, so it lives off the PATH and the `brackenreach`
# launcher on the PATH builds a per-user working directory from the read-only data and starts it.
# Each install() names its component, which is also the name of the Debian package it goes in;
# `cmake --install build --component brackenreach-server` installs the server alone.
#
# Under the prefix /usr (the packages, or `--prefix /usr`) the commands go in /usr/games and the
# options file in /etc/default; under any other prefix P, in P/bin and P/etc/default. The systemd
# unit goes in P/lib/systemd/system, /usr/lib/systemd/system for the packages. The prefix is only
# known at install time (cpack installs under /usr whatever was configured), so these
# directories are variables of the install script, set by cmake/InstallDirs.cmake.in.

include(GNUInstallDirs)

set(BRACKENREACH_LIBEXEC_DIR ${CMAKE_INSTALL_LIBEXECDIR}/brackenreach)
set(BRACKENREACH_DATA_DIR ${CMAKE_INSTALL_DATADIR}/brackenreach)
set(BRACKENREACH_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man6)
set(BRACKENREACH_SOURCE_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(BRACKENREACH_PACKAGING ${CMAKE_BINARY_DIR}/packaging)
set(BRACKENREACH_METAINFO invalid.brackenreach.Brackenreach.metainfo.xml)

# /usr/games holds games by Debian's policy; it replaces bin only when bin is the default, so
# the launcher's paths relative to its own directory (below) hold in both.
set(BRACKENREACH_USR_GAMES_DIR ${CMAKE_INSTALL_BINDIR})
if(CMAKE_INSTALL_BINDIR STREQUAL "bin")
  set(BRACKENREACH_USR_GAMES_DIR games)
endif()
configure_file(cmake/InstallDirs.cmake.in ${BRACKENREACH_PACKAGING}/InstallDirs.cmake @ONLY)
install(SCRIPT ${BRACKENREACH_PACKAGING}/InstallDirs.cmake ALL_COMPONENTS)

# --- the client: package brackenreach ---

# Stripping (cpack's CPACK_STRIP_FILES, `cmake --install --strip`) runs a plain `strip`, which
# keeps the compiler's .comment and .note sections; Debian's dh_strip drops both, and lintian
# notes a shipped binary that keeps them. Installed after the binary in dir (relative to the
# prefix, or absolute; it may name a variable of the install script).
function(brackenreach_strip_like_debian component dir name)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  set(dir \"${dir}\")
  if(NOT IS_ABSOLUTE \"\${dir}\")
    set(dir \"\${CMAKE_INSTALL_PREFIX}/\${dir}\")
  endif()
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${dir}/${name}\" COMMAND_ERROR_IS_FATAL ANY)
endif()" COMPONENT ${component})
endfunction()

install(TARGETS brackenreach RUNTIME DESTINATION ${BRACKENREACH_LIBEXEC_DIR} COMPONENT brackenreach)
brackenreach_strip_like_debian(brackenreach ${BRACKENREACH_LIBEXEC_DIR} brackenreach)
install(FILES data/config.ini DESTINATION ${BRACKENREACH_DATA_DIR} COMPONENT brackenreach)
install(FILES ${BRACKENREACH_SOURCE_PACKAGING}/lintian/brackenreach
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT brackenreach)
install(DIRECTORY data/img data/audio DESTINATION ${BRACKENREACH_DATA_DIR} COMPONENT brackenreach)
install(FILES data/brackenreach.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
  COMPONENT brackenreach)
install(FILES data/icons/brackenreach.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps
  COMPONENT brackenreach)
install(FILES ${BRACKENREACH_SOURCE_PACKAGING}/${BRACKENREACH_METAINFO}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT brackenreach)

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
install(PROGRAMS ${CMAKE_BINARY_DIR}/launcher/brackenreach DESTINATION "\${BRACKENREACH_GAMES_DIR}"
  COMPONENT brackenreach)

# --- the server and its systemd unit: package brackenreach-server ---

install(TARGETS brackenreach-server RUNTIME DESTINATION "\${BRACKENREACH_GAMES_DIR}"
  COMPONENT brackenreach-server)
brackenreach_strip_like_debian(brackenreach-server "\${BRACKENREACH_GAMES_DIR}" brackenreach-server)
# The operator's options are in an EnvironmentFile the unit reads, a conffile in the package: an
# edit survives upgrades and takes a restart, no daemon-reload, and no unit syntax to learn.
configure_file(cmake/InstallService.cmake.in ${BRACKENREACH_PACKAGING}/InstallService.cmake @ONLY)
install(SCRIPT ${BRACKENREACH_PACKAGING}/InstallService.cmake COMPONENT brackenreach-server)
# The deployment recipes docs/server.md names, which tests/e2e/test_proxies.py runs as they are.
install(FILES ${BRACKENREACH_SOURCE_PACKAGING}/examples/nginx-brackenreach
  ${BRACKENREACH_SOURCE_PACKAGING}/examples/haproxy-brackenreach.cfg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brackenreach-server/examples COMPONENT brackenreach-server)

# --- the browser game's page: package brackenreach-web ---

# The page is the browser build's output (web/, built by Emscripten), so where Emscripten is
# installed this build drives that one, in the directory tools/build_web.sh uses (one build of
# the page for both). Installed in share/brackenreach/web, the --web-root that the server's
# options file, its manual and docs/server.md name.
find_program(EMCMAKE_EXECUTABLE emcmake)
# BRACKENREACH_WEB_PAGE given on the command line (it is then in the cache) decides; otherwise
# the page follows what is installed at each configure, so a build directory made before
# Emscripten was installed gains the page once it is. Earlier builds cached what they found as
# an option; that entry goes.
get_property(web_page_help CACHE BRACKENREACH_WEB_PAGE PROPERTY HELPSTRING)
if(web_page_help STREQUAL "Build the browser page with Emscripten and install it (package brackenreach-web)")
  unset(BRACKENREACH_WEB_PAGE CACHE)
endif()
if(DEFINED CACHE{BRACKENREACH_WEB_PAGE})
  set(web_page ${BRACKENREACH_WEB_PAGE})
  set(web_page_why "BRACKENREACH_WEB_PAGE is ${BRACKENREACH_WEB_PAGE} in this build's cache")
elseif(EMCMAKE_EXECUTABLE)
  set(web_page ON)
else()
  set(web_page OFF)
  set(web_page_why "Emscripten's emcmake is not installed (tools/setup.sh web installs it; the \
next configure then builds the page)")
endif()
# Whether this build makes the page, for the package tests to read from the cache.
set(BRACKENREACH_WEB_PAGE_BUILT ${web_page} CACHE INTERNAL "The browser page is built and packaged")
set(web_build_default ${CMAKE_SOURCE_DIR}/build-web)
if(DEFINED ENV{WEB_BUILD_DIR})
  get_filename_component(web_build_default "$ENV{WEB_BUILD_DIR}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
endif()
set(BRACKENREACH_WEB_BUILD_DIR ${web_build_default} CACHE PATH
  "The browser build's directory (tools/build_web.sh's WEB_BUILD_DIR)")
set(BRACKENREACH_WEB_FILES index.html page.js page_input.js page.css brackenreach.js brackenreach.wasm brackenreach.data)
set(brackenreach_components brackenreach brackenreach-server)
if(web_page)
  if(NOT EMCMAKE_EXECUTABLE)
    message(FATAL_ERROR "BRACKENREACH_WEB_PAGE needs Emscripten's emcmake (tools/setup.sh web)")
  endif()
  # emcc runs its JavaScript tools with the node on the PATH, which finds Debian's node modules
  # only through NODE_PATH when it is not Debian's own node. The inner build is a make of its
  # own, without the outer one's job slots.
  set(web_env ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MAKELEVEL
    "NODE_PATH=/usr/share/nodejs:$ENV{NODE_PATH}")
  set(web_cache ${BRACKENREACH_WEB_BUILD_DIR}/CMakeCache.txt)
  add_custom_command(OUTPUT ${web_cache}
    COMMAND ${web_env} ${EMCMAKE_EXECUTABLE} ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR}
      -B ${BRACKENREACH_WEB_BUILD_DIR} -DBRACKENREACH_WERROR=${BRACKENREACH_WERROR}
    COMMENT "Configuring the browser build in ${BRACKENREACH_WEB_BUILD_DIR}"
    VERBATIM)
  # Always run: the browser build knows its own dependencies (and reconfigures itself).
  add_custom_target(web_page ALL
    COMMAND ${web_env} ${CMAKE_COMMAND} --build ${BRACKENREACH_WEB_BUILD_DIR}
    DEPENDS ${web_cache}
    COMMENT "Building the browser page in ${BRACKENREACH_WEB_BUILD_DIR}/site"
    VERBATIM)
  list(TRANSFORM BRACKENREACH_WEB_FILES PREPEND ${BRACKENREACH_WEB_BUILD_DIR}/site/ OUTPUT_VARIABLE web_files)
  install(FILES ${web_files} DESTINATION ${BRACKENREACH_DATA_DIR}/web COMPONENT brackenreach-web)
  install(FILES ${BRACKENREACH_SOURCE_PACKAGING}/lintian/brackenreach-web
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT brackenreach-web)
  list(APPEND brackenreach_components brackenreach-web)
else()
  message(STATUS "The browser page is not built or packaged (no brackenreach-web): ${web_page_why}")
endif()

# --- manual pages and the packages' documents ---

# The Debian changelog and the metainfo's newest release both name the version being built.
file(STRINGS ${BRACKENREACH_SOURCE_PACKAGING}/changelog changelog_top LIMIT_COUNT 1)
file(READ ${BRACKENREACH_SOURCE_PACKAGING}/${BRACKENREACH_METAINFO} metainfo_text)
string(REGEX MATCH "<release version=\"([^\"]*)\"" _ "${metainfo_text}")
set(metainfo_version "${CMAKE_MATCH_1}")
if(NOT changelog_top MATCHES "^brackenreach \\(${PROJECT_VERSION}\\) " OR
   NOT metainfo_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "version ${PROJECT_VERSION}: add its entry on top of packaging/changelog "
    "and its <release> on top of packaging/${BRACKENREACH_METAINFO}")
endif()

# Debian wants documents compressed with gzip -9n (no name or time stamp, so builds repeat).
function(brackenreach_gzip out in)
  add_custom_command(OUTPUT ${out}
    COMMAND gzip -9n -c ${in} > ${out}
    DEPENDS ${in}
    COMMENT "Compressing ${out}")
endfunction()

# The client's page is written in scdoc; the server's is its --help, rendered by help2man with
# the sections in brackenreach-server.h2m added.
find_program(SCDOC_EXECUTABLE scdoc)
find_program(HELP2MAN_EXECUTABLE help2man)
set(packaging_outputs)
if(SCDOC_EXECUTABLE AND HELP2MAN_EXECUTABLE)
  set(page_client ${BRACKENREACH_PACKAGING}/brackenreach.6)
  set(page_server ${BRACKENREACH_PACKAGING}/brackenreach-server.6)
  add_custom_command(OUTPUT ${page_client}
    COMMAND ${SCDOC_EXECUTABLE} < ${BRACKENREACH_SOURCE_PACKAGING}/brackenreach.6.scd > ${page_client}
    DEPENDS ${BRACKENREACH_SOURCE_PACKAGING}/brackenreach.6.scd
    COMMENT "Writing the manual page brackenreach(6)")
  add_custom_command(OUTPUT ${page_server}
    COMMAND ${HELP2MAN_EXECUTABLE} --no-info --section=6
      --include=${BRACKENREACH_SOURCE_PACKAGING}/brackenreach-server.h2m --output=${page_server}
      $<TARGET_FILE:brackenreach-server>
    DEPENDS brackenreach-server ${BRACKENREACH_SOURCE_PACKAGING}/brackenreach-server.h2m
    COMMENT "Writing the manual page brackenreach-server(6)")
  foreach(component IN ITEMS brackenreach brackenreach-server)
    brackenreach_gzip(${BRACKENREACH_PACKAGING}/${component}.6.gz ${BRACKENREACH_PACKAGING}/${component}.6)
    list(APPEND packaging_outputs ${BRACKENREACH_PACKAGING}/${component}.6.gz)
    install(FILES ${BRACKENREACH_PACKAGING}/${component}.6.gz DESTINATION ${BRACKENREACH_MAN_DIR}
      COMPONENT ${component})
  endforeach()
else()
  message(WARNING "scdoc or help2man not found (tools/setup.sh installs them): no manual pages")
endif()

brackenreach_gzip(${BRACKENREACH_PACKAGING}/changelog.gz ${BRACKENREACH_SOURCE_PACKAGING}/changelog)
add_custom_target(packaging_files ALL DEPENDS ${BRACKENREACH_PACKAGING}/changelog.gz ${packaging_outputs})
foreach(component IN LISTS brackenreach_components)
  install(FILES ${BRACKENREACH_SOURCE_PACKAGING}/copyright ${BRACKENREACH_PACKAGING}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${component} COMPONENT ${component})
endforeach()
install(FILES CREDITS DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brackenreach COMPONENT brackenreach)

# --- Debian packages ---

set(BRACKENREACH_MAINTAINER "The Brackenreach developers <developers@brackenreach.invalid>"
  CACHE STRING "Maintainer line of the Debian packages")

# Values reach CPackConfig.cmake as written here (no second round of escaping).
set(CPACK_VERBATIM_VARIABLES YES)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brackenreach)
set(CPACK_PACKAGE_VENDOR "The Brackenreach developers")
set(CPACK_PACKAGE_CONTACT "${BRACKENREACH_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# DESTDIR staging: the install script sees the prefix /usr, as on the target machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${brackenreach_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE brackenreach)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRACKENREACH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# dpkg shows the description's lines as they are: kept under 80 columns. The first line is the
# synopsis.
set(CPACK_DEBIAN_BRACKENREACH_PACKAGE_NAME brackenreach)
string(JOIN "\n" CPACK_DEBIAN_BRACKENREACH_DESCRIPTION
  "online 2D role-playing game"
  "Brackenreach is an online 2D role-playing game: walk your character across"
  "a map larger than the window, with your name above it and music in a loop,"
  "while the game server follows your position. This package holds the desktop"
  "client, started with the brackenreach command; the game server is in the"
  "brackenreach-server package.")
set(CPACK_DEBIAN_BRACKENREACH-SERVER_PACKAGE_NAME brackenreach-server)
string(JOIN "\n" CPACK_DEBIAN_BRACKENREACH-SERVER_DESCRIPTION
  "game server for Brackenreach"
  "The server of the online 2D role-playing game Brackenreach: it accepts the"
  "players' connections and follows their positions, one line per event on its"
  "output. It needs no display. A systemd unit, brackenreach-server.service,"
  "is installed but not enabled; its options are in"
  "/etc/default/brackenreach-server.")
# Stops the service on removal and drops its enablement on purge, as debhelper would.
set(CPACK_DEBIAN_BRACKENREACH-SERVER_PACKAGE_CONTROL_EXTRA
  ${BRACKENREACH_SOURCE_PACKAGING}/deb/brackenreach-server/conffiles
  ${BRACKENREACH_SOURCE_PACKAGING}/deb/brackenreach-server/postinst
  ${BRACKENREACH_SOURCE_PACKAGING}/deb/brackenreach-server/prerm
  ${BRACKENREACH_SOURCE_PACKAGING}/deb/brackenreach-server/postrm)
set(CPACK_DEBIAN_BRACKENREACH_PACKAGE_SUGGESTS brackenreach-server)
set(CPACK_DEBIAN_BRACKENREACH-SERVER_PACKAGE_SUGGESTS brackenreach-web)

# The page is the same on every architecture, and only our server serves it (and takes its
# WebSockets), from the host the page was loaded from.
set(CPACK_DEBIAN_BRACKENREACH-WEB_PACKAGE_NAME brackenreach-web)
set(CPACK_DEBIAN_BRACKENREACH-WEB_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_BRACKENREACH-WEB_PACKAGE_RECOMMENDS brackenreach-server)
string(JOIN "\n" CPACK_DEBIAN_BRACKENREACH-WEB_DESCRIPTION
  "Brackenreach in the browser, served by brackenreach-server"
  "The web page of the online 2D role-playing game Brackenreach: the same game"
  "as the desktop client, built for WebAssembly, with its pictures, music and"
  "font packed in. brackenreach-server serves it with"
  "--web-root /usr/share/brackenreach/web and takes the players' WebSockets on"
  "the same port; see /etc/default/brackenreach-server.")

# The launcher links the font found with fc-match; the binaries' libraries come from
# dpkg-shlibdeps when it is there (it needs `file` too), which names them as the build machine's
# Debian does. Without it, this list: Debian 13 renamed libsimpleini1 to libsimpleini1t64.
set(client_depends "fonts-crosextra-carlito, fontconfig")
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
find_program(FILE_EXECUTABLE file)
if(DPKG_SHLIBDEPS_EXECUTABLE AND FILE_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(PREPEND client_depends "libsdl1.2debian, libsdl-image1.2, libsdl-mixer1.2, libsdl-net1.2, "
    "libsdl-ttf2.0-0, libsimpleini1t64 | libsimpleini1, ")
  set(CPACK_DEBIAN_BRACKENREACH-SERVER_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
set(CPACK_DEBIAN_BRACKENREACH_PACKAGE_DEPENDS "${client_depends}")

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build/" "/__pycache__/")

include(CPack)
