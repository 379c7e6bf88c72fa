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

# zephra_def_file(OUTPUT file LIBRARY name ENTRIES export=symbol/bytes...)
# Writes a module-definition file for this architecture. Each entry exports `export` for the
# __stdcall function `symbol` taking `bytes` bytes of arguments (the symbol may equal the export).
# A 32-bit build binds to MinGW's decorated `symbol@bytes`; with DECORATED it also exports
# `_export@bytes`, the first name a 32-bit Java VM looks for. A 64-bit build has no __stdcall
# decoration: it binds to the plain symbol and exports the plain name only.
function(zephra_def_file)
  cmake_parse_arguments(ARG "DECORATED" "OUTPUT;LIBRARY" "ENTRIES" ${ARGN})
  set(text "LIBRARY ${ARG_LIBRARY}\nEXPORTS\n")
  foreach(entry IN LISTS ARG_ENTRIES)
    if(NOT entry MATCHES "^([A-Za-z0-9_]+)=([A-Za-z0-9_]+)/([0-9]+)$")
      message(FATAL_ERROR "zephra_def_file: bad entry '${entry}'")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(symbol ${CMAKE_MATCH_2})
    set(bytes ${CMAKE_MATCH_3})
    if(ZEPHRA_ARCH STREQUAL "x86")
      if(ARG_DECORATED)
        string(APPEND text "  _${name}@${bytes} = ${symbol}@${bytes}\n")
      endif()
      string(APPEND text "  ${name} = ${symbol}@${bytes}\n")
    elseif(name STREQUAL symbol)
      string(APPEND text "  ${name}\n")
    else()
      string(APPEND text "  ${name} = ${symbol}\n")
    endif()
  endforeach()
  file(GENERATE OUTPUT ${ARG_OUTPUT} CONTENT "${text}")
endfunction()
