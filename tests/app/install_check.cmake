# Installs the build into a fresh prefix and runs the installed programs from
# there: cmake --install must bring every program, and they must run without
# the build tree. Called by CTest with BUILD_DIR, PREFIX and VERSION.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(program arcport5 dkl-mkarchive dkl-pxdump dkl-pxwrite dkl-mklegacy dkl-archive)
  execute_process(COMMAND "${PREFIX}/bin/${program}" --version
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out WORKING_DIRECTORY "${PREFIX}")
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "${program} ${VERSION}\n")
    message(FATAL_ERROR "${PREFIX}/bin/${program} --version: status ${rc}, output '${out}'")
  endif()
endforeach()
if(NOT EXISTS "${PREFIX}/share/doc/arcport5/README.md")
  message(FATAL_ERROR "the user's guide was not installed")
endif()
file(REMOVE_RECURSE "${PREFIX}")
