cmake_policy(VERSION 3.25)
# Checks ZephraClient.exe's resources without running it: windres decompiles the resource section
# to .rc text, which must hold icon group 104 with its three images (48x48 at 32 bits, 32x32 at 24,
# 16x16 at 32) and the version resource with its values, the product version VERSION among them.
#   cmake -DFILE=... -DWINDRES=... -DVERSION=a.b.c.d -P check_resources.cmake

execute_process(COMMAND ${WINDRES} -i "${FILE}" -O rc OUTPUT_VARIABLE rc_text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windres could not read the resources of ${FILE}")
endif()
string(REPLACE "." ", " version_text "${VERSION}")
# Icon pixel data is of no interest here.
string(REGEX REPLACE "\n  0x[^\n]*" "" rc_text "${rc_text}")

set(expected
  "104 14 /\\* RT_GROUP_ICON \\*/\nBEGIN\n   0, 1, 3,"
  "\"\\\\060\\\\060\\\\000\\\\000\", 1, 32, [^\n]*, 1,"
  "\"\\\\040\\\\040\\\\000\\\\000\", 1, 24, [^\n]*, 2,"
  "\"\\\\020\\\\020\\\\000\\\\000\", 1, 32, [^\n]*, 3"
  "FILEVERSION ${version_text}\n"
  "PRODUCTVERSION ${version_text}\n"
  "FILEOS 0x40004\n"
  "FILETYPE 0x1\n"
  "BLOCK \"040904b0\""
  "VALUE \"Comments\", \"Zephra Remote Launcher\"\n"
  "VALUE \"CompanyName\", \"Brevant \"\n"
  "VALUE \"FileDescription\", \"Brevant Zephra Remote Launcher\"\n"
  "VALUE \"FileVersion\", \"${version_text}\"\n"
  "VALUE \"InternalName\", \"ZephraClient\"\n"
  "VALUE \"OriginalFilename\", \"ZephraClient.exe\"\n"
  "VALUE \"ProductName\", \"Brevant Zephra Remote\"\n"
  "VALUE \"ProductVersion\", \"${version_text}\"\n"
  "VALUE \"Translation\", 0x409, 1200\n")
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
