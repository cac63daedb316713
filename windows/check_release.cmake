# tools/build_windows.sh --release in a network namespace of its own, where the archive the
# libraries are checked against cannot be reached: it must refuse, and leave no package of an
# earlier build under the release's names. A scratch build directory stands in, with a prefix
# said to be built and packages of an earlier build; nothing is compiled.
#   cmake -DSOURCE_DIR=DIR -DOUT=DIR -P check_release.cmake
file(REMOVE_RECURSE ${OUT})
file(WRITE ${OUT}/deps/stamp "built earlier\n")
file(WRITE ${OUT}/deps/READY "built earlier\n")
set(packages ${OUT}/brackenreach-0.1.0-win64.exe ${OUT}/brackenreach-0.1.0-win64.zip)
foreach(package IN LISTS packages)
  file(WRITE ${package} "an earlier build's, not a release\n")
endforeach()

execute_process(
  COMMAND unshare --user --map-root-user --net
    env WINDOWS_BUILD_DIR=${OUT} ${SOURCE_DIR}/tools/build_windows.sh --release
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0 OR NOT err MATCHES "--release: the archive cannot be reached")
  message(FATAL_ERROR "--release without the archive: status ${status}\n${out}\n${err}")
endif()
foreach(package IN LISTS packages)
  if(EXISTS ${package})
    message(FATAL_ERROR "the refused release left ${package}")
  endif()
endforeach()
file(REMOVE_RECURSE ${OUT})
