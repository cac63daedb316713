# Debian's hardening flags for every native target (BRACKENREACH_HARDENING, on by default), so
# the everyday build, the tests and the packages all run the code as Debian would build it.
# Included before any target is declared, like cmake/Sanitizers.cmake.
#
# The flags are what `dpkg-buildflags` gives with hardening=+all on the building machine's
# release: fortified libc calls, the strong stack protector, format checks, PIE, and read-only
# relocations bound at start (relro, now). Only those are taken from it; optimisation and debug
# information stay the build type's. Debian 12's dpkg (1.21) knows no stack-clash or
# control-flow protection, which Debian 13's gives; they are added wherever the compiler takes
# them, so both releases build with the same set.

if(NOT BRACKENREACH_HARDENING OR EMSCRIPTEN)
  return()
endif()

# Windows (MinGW): address space layout randomisation with 64-bit entropy, data execution
# prevention, and the stack protector from MinGW's libssp (linked in with the rest of the
# runtime: windows/CMakeLists.txt links statically). dpkg-buildflags' set is for ELF and glibc.
if(WIN32)
  set(hardening_compile -fstack-protector-strong -Wformat -Werror=format-security)
  set(hardening_link -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -fstack-protector-strong)
  add_compile_options(${hardening_compile})
  add_link_options(${hardening_link})
  list(JOIN hardening_compile " " compile_text)
  list(JOIN hardening_link " " link_text)
  message(STATUS "Hardening: ${compile_text} ${link_text}")
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckPIESupported)

set(hardening_compile)
set(hardening_link)
find_program(DPKG_BUILDFLAGS_EXECUTABLE dpkg-buildflags)
if(DPKG_BUILDFLAGS_EXECUTABLE)
  foreach(kind IN ITEMS CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
        ${DPKG_BUILDFLAGS_EXECUTABLE} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
      continue()
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    foreach(flag IN LISTS flags)
      if(flag MATCHES "^-Wl,")
        list(APPEND hardening_link ${flag})
      elseif(flag MATCHES "^(-D_FORTIFY_SOURCE=|-fstack-protector|-fstack-clash-protection$|-fcf-protection|-Wformat|-Werror=format-security$)")
        list(APPEND hardening_compile ${flag})
      endif()
    endforeach()
  endforeach()
else()
  # Not a Debian machine: the same set as Debian 13 gives.
  set(hardening_compile -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat
    -Werror=format-security)
  set(hardening_link -Wl,-z,relro -Wl,-z,now)
endif()

foreach(flag IN ITEMS -fstack-clash-protection -fcf-protection)
  if(NOT flag IN_LIST hardening_compile)
    string(MAKE_C_IDENTIFIER "HAVE${flag}" have_flag)
    check_cxx_compiler_flag(${flag} ${have_flag})
    if(${have_flag})
      list(APPEND hardening_compile ${flag})
    endif()
  endif()
endforeach()

foreach(flag IN LISTS hardening_compile)
  if(flag MATCHES "^-D_FORTIFY_SOURCE=")
    # glibc's fortified calls need the optimiser, and warn (an error in CI) without it. The
    # sanitizers check the same calls themselves and are not to be mixed with them.
    if(NOT BRACKENREACH_SANITIZE)
      add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
    endif()
  else()
    add_compile_options(${flag})
  endif()
endforeach()
add_link_options(${hardening_link})

# PIE, which Debian's compiler also makes by default: asked for explicitly, so it holds with any
# compiler.
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

list(JOIN hardening_compile " " compile_text)
list(JOIN hardening_link " " link_text)
message(STATUS "Hardening: ${compile_text} ${link_text} -fPIE -pie")
