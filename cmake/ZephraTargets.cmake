# Helpers shared by every CMakeLists of the project.

# A shipped program or library: it lands in bin/.
function(zephra_deliverable target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${ZEPHRA_BIN_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${ZEPHRA_BIN_DIR}
    PREFIX "")
endfunction()

# A Windows program or DLL that only the tests use (doubles, recorders, helpers).
function(zephra_test_artifact target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${ZEPHRA_TEST_BIN_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${ZEPHRA_TEST_BIN_DIR}
    PREFIX "")
endfunction()
