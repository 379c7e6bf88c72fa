cmake_policy(VERSION 3.25)
# Checks a deliverable's resources without running it: windres decompiles the resource section to
# .rc text, which must hold the version resource with the values of that deliverable (by file
# name), the product version VERSION among them, and for ZephraClient.exe icon group 104 with its
# three images (48x48 at 32 bits, 32x32 at 24, 16x16 at 32).
#   cmake -DFILE=... -DWINDRES=... -DVERSION=a.b.c.d -P check_resources.cmake

execute_process(COMMAND ${WINDRES} -i "${FILE}" -O rc OUTPUT_VARIABLE rc_text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windres could not read the resources of ${FILE}")
endif()
string(REPLACE "." ", " version_text "${VERSION}")
# Icon pixel data is of no interest here.
string(REGEX REPLACE "\n  0x[^\n]*" "" rc_text "${rc_text}")

get_filename_component(name "${FILE}" NAME)
# FILETYPE 0x1 is an application, 0x2 a DLL; FILEOS 0x40004 is 32-bit Windows NT.
set(common
  "FILEVERSION ${version_text}\n"
  "PRODUCTVERSION ${version_text}\n"
  "FILEOS 0x40004\n"
  "BLOCK \"040904b0\""
  "VALUE \"FileVersion\", \"${version_text}\"\n"
  "VALUE \"ProductName\", \"Brevant Zephra Remote\"\n"
  "VALUE \"ProductVersion\", \"${version_text}\"\n"
  "VALUE \"Translation\", 0x409, 1200\n")
if(name STREQUAL "ZephraClient.exe")
  set(expected ${common}
    "104 14 /\\* RT_GROUP_ICON \\*/\nBEGIN\n   0, 1, 3,"
    "\"\\\\060\\\\060\\\\000\\\\000\", 1, 32, [^\n]*, 1,"
    "\"\\\\040\\\\040\\\\000\\\\000\", 1, 24, [^\n]*, 2,"
    "\"\\\\020\\\\020\\\\000\\\\000\", 1, 32, [^\n]*, 3"
    "FILETYPE 0x1\n"
    "VALUE \"Comments\", \"Zephra Remote Launcher\"\n"
    "VALUE \"CompanyName\", \"Brevant \"\n"
    "VALUE \"FileDescription\", \"Brevant Zephra Remote Launcher\"\n"
    "VALUE \"InternalName\", \"ZephraClient\"\n"
    "VALUE \"OriginalFilename\", \"ZephraClient.exe\"\n")
elseif(name STREQUAL "Wirelet.dll")
  set(expected ${common}
    "FILETYPE 0x2\n"
    "VALUE \"CompanyName\", \"Brevant\"\n"
    "VALUE \"FileDescription\", \"Brevant Zephra Remote native library\"\n"
    "VALUE \"InternalName\", \"Wirelet\"\n"
    "VALUE \"OriginalFilename\", \"Wirelet.dll\"\n")
elseif(name STREQUAL "shelllaunch.exe")
  set(expected ${common}
    "FILETYPE 0x1\n"
    "VALUE \"CompanyName\", \"Brevant\"\n"
    "VALUE \"FileDescription\", \"Brevant Zephra Remote shell launch tool\"\n"
    "VALUE \"InternalName\", \"shelllaunch\"\n"
    "VALUE \"OriginalFilename\", \"shelllaunch.exe\"\n")
else()
  message(FATAL_ERROR "check_resources: no expected resources for ${name}")
endif()
set(failures "")
foreach(regex IN LISTS expected)
  if(NOT rc_text MATCHES "${regex}")
    list(APPEND failures "missing: ${regex}")
  endif()
endforeach()
if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "${FILE}:\n  ${text}")
endif()
message(STATUS "${FILE}: resources ok")
