# The Windows client's own sources beside the ones every build shares: the platform's edges, and
# small layers standing in for SDL_image, SDL_net and SDL_ttf (over libpng, libjpeg-turbo, giflib,
# Winsock and FreeType), whose Debian sources cannot be had to cross-build. The layers' headers are found as the
# libraries' own would be (#include <SDL_net.h>), from BRACKENREACH_WINDOWS_INCLUDE_DIRS.
get_filename_component(windows_source_root ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(BRACKENREACH_WINDOWS_SOURCES
  ${windows_source_root}/app/display_watch_windows.cpp
  ${windows_source_root}/app/input_desktop.cpp
  ${windows_source_root}/app/process_edge_windows.cpp
  ${windows_source_root}/net/link_edge_windows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_net.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_ttf.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_layout.cpp)
set(BRACKENREACH_WINDOWS_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR})
# What the layers and the link edge call: libpng (with zlib), libjpeg-turbo, giflib (which has no
# pkg-config file: windows/CMakeLists.txt finds it), FreeType and Winsock.
set(BRACKENREACH_WINDOWS_LAYER_PKG_MODULES libpng libjpeg freetype2)
set(BRACKENREACH_WINDOWS_LAYER_LIBRARIES ws2_32)
