# AddressSanitizer and UndefinedBehaviorSanitizer for every target (BRACKENREACH_SANITIZE).
# Included before any target is declared, so directory-wide options reach all of them, the
# server, the tools and the tests included. BRACKENREACH_TEST_ENV carries the runtime options that
# tests/CMakeLists.txt hands to every test.

set(BRACKENREACH_TEST_ENV "")
if(BRACKENREACH_SANITIZE)
  # halt on the first UB report, so a run with one can never pass as green
  set(brackenreach_sanitize_flags
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${brackenreach_sanitize_flags})
  add_link_options(${brackenreach_sanitize_flags})

  # UBSan's vptr check probes memory through a pipe() on each new type; with every descriptor in
  # use it reports valid objects (asio's error categories) as having an invalid vptr, and an
  # unrecoverable report cannot be suppressed. The server is built to run out of descriptors and
  # carry on (tests/e2e/test_server.py exhausts them), so it alone goes without that one check.
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL
    target_compile_options brackenreach-server PRIVATE -fno-sanitize=vptr)

  set(BRACKENREACH_LSAN_SUPPRESSIONS ${CMAKE_SOURCE_DIR}/tests/sanitizers/lsan.supp)
  set(BRACKENREACH_TEST_ENV
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
    "LSAN_OPTIONS=suppressions=${BRACKENREACH_LSAN_SUPPRESSIONS}:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()
