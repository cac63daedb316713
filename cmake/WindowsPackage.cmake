# The Windows game's packages, made by `cpack` in the Windows build (tools/build_windows.sh):
#   brackenreach-VERSION-win64.exe   an installer for the current user (NSIS, windows/NSIS.template.in)
#   brackenreach-VERSION-win64.zip   the same files in a folder, to unpack and run
# Both hold what build-windows/game/ holds (the program, the DLLs it imports, config.ini, img/,
# audio/, calibri.ttf) with the licences: ours, and those of the libraries and the font shipped.
# Both are reproducible: the same sources and tools give the same bytes (windows/package_*.cmake).

install(TARGETS brackenreach RUNTIME DESTINATION .)
# The DLLs are known once the program is linked (cmake/StageWindowsDlls.cmake stages them).
install(CODE "file(GLOB dlls \"${GAME_DIR}/*.dll\")
file(INSTALL \${dlls} DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")")
install(FILES ${GAME_DIR}/config.ini DESTINATION .) # staged with CRLF line ends
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/img ${CMAKE_SOURCE_DIR}/data/audio DESTINATION .)
if(game_font)
  install(FILES ${game_font} DESTINATION . RENAME calibri.ttf)
endif()

# Windows' Notepad and the installer's licence page read these as they are.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${CMAKE_SOURCE_DIR}/CREDITS DESTINATION . RENAME CREDITS.txt)
# The copyright files of the sources the libraries were built from (tools/windows_deps.sh), of
# Debian's MinGW zlib, and of the font.
file(GLOB dependency_licences ${BRACKENREACH_WINDOWS_DEPS}/share/licences/*.txt)
install(FILES ${dependency_licences} DESTINATION licences)
foreach(package IN ITEMS libz-mingw-w64-dev fonts-crosextra-carlito)
  if(EXISTS /usr/share/doc/${package}/copyright)
    install(FILES /usr/share/doc/${package}/copyright DESTINATION licences RENAME ${package}.txt)
  endif()
endforeach()

# The installer shows one licence page: ours, the credits, and what else the package holds.
set(licence_page ${CMAKE_BINARY_DIR}/packaging/licence.txt)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence_text)
file(READ ${CMAKE_SOURCE_DIR}/CREDITS credits_text)
file(WRITE ${licence_page} "${licence_text}\n\n${credits_text}
Libraries and font in this package
----------------------------------
The Windows game also holds SDL 1.2 (GNU LGPL 2.1, as SDL.dll, which may be
replaced), SDL_mixer (zlib licence), libpng (libpng licence), libjpeg-turbo
(the IJG licence, the Modified BSD licence and the zlib licence), giflib (MIT
licence), FreeType (the FreeType License), zlib (zlib licence) and the Carlito
font as calibri.ttf (SIL Open Font License 1.1), all built from Debian's
sources. This software is based in part on the work of the Independent JPEG
Group. Portions of this software are copyright (c) The FreeType Project
(www.freetype.org). All rights reserved. Their licences are in the licences
folder of the game.
")

set(CPACK_VERBATIM_VARIABLES YES)
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME brackenreach)
set(CPACK_PACKAGE_VENDOR "The Brackenreach developers")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Brackenreach)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Brackenreach)
set(CPACK_RESOURCE_FILE_LICENSE ${licence_page})
set(CPACK_STRIP_FILES ON)
set(CPACK_NSIS_PACKAGE_NAME Brackenreach)
set(CPACK_NSIS_DISPLAY_NAME Brackenreach)
set(CPACK_NSIS_INSTALLED_ICON_NAME brackenreach.exe)
set(CPACK_NSIS_MUI_ICON ${icon})
set(CPACK_NSIS_MUI_UNIICON ${icon})
# Our own installer script (per user, 64-bit), found before CPack's.
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_SOURCE_DIR}/windows)
find_program(MAKENSIS_EXECUTABLE makensis)
if(NOT MAKENSIS_EXECUTABLE)
  message(WARNING "makensis not found (tools/setup.sh windows installs nsis): cpack makes the zip only")
  set(CPACK_GENERATOR ZIP)
endif()

# Reproducible: one time on every file (SOURCE_DATE_EPOCH, or the last commit's), the zip in a
# fixed order (makensis orders the installer's files by name itself).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CPACK_BRACKENREACH_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_BRACKENREACH_PYTHON ${Python3_EXECUTABLE})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/windows/package_epoch.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/windows/package_files.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/windows/package_zip.cmake)

include(CPack)
