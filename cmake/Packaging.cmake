# One ZIP archive per architecture with the three deliverables and a text on installing them:
#   cpack --preset windows-x86   (or windows-x64), after a build of that preset
# (The Windows Installer packages are built by the msi target, installer/CMakeLists.txt.)
if(ZEPHRA_ARCH STREQUAL "x86")
  set(ZEPHRA_ARCH_TEXT "32-bit Windows (x86)")
  set(ZEPHRA_RUNTIME_TEXT "These are 32-bit programs: they pair with a 32-bit Java runtime (client VM).")
  set(ZEPHRA_SERVER_VM_TEXT "")
  set(ZEPHRA_REGISTRY_TEXT "A 32-bit launcher reads its own registry view (WOW6432Node on 64-bit Windows),\n     where a 32-bit installer writes.")
else()
  set(ZEPHRA_ARCH_TEXT "64-bit Windows (x64)")
  set(ZEPHRA_RUNTIME_TEXT "These are 64-bit programs: they pair with a 64-bit Java runtime, which ships the\n  server VM only.")
  set(ZEPHRA_SERVER_VM_TEXT "\n     or, when there is no client VM, <...>\\bin\\server\\jvm.dll (the launcher takes the\n     client VM when both are there)")
  set(ZEPHRA_REGISTRY_TEXT "The 64-bit launcher reads the 64-bit registry view and, where the key is not there,\n     the 32-bit view (WOW6432Node) that an existing 32-bit installation wrote.")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/INSTALL.txt.in ${CMAKE_BINARY_DIR}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS ZephraClient Wirelet shelllaunch RUNTIME DESTINATION . LIBRARY DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/INSTALL.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME "ZephraRemote-native")
set(CPACK_PACKAGE_VENDOR "Brevant")
set(CPACK_PACKAGE_VERSION ${ZEPHRA_VERSION})
set(CPACK_PACKAGE_FILE_NAME "ZephraRemote-native-${ZEPHRA_VERSION}-${ZEPHRA_ARCH}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Shipped without the debug information of the RelWithDebInfo build.
set(CPACK_STRIP_FILES ON)
include(CPack)
