cmake_policy(VERSION 3.25)
# Builds one Windows Installer package: stages the deliverables (stripped, and signed when a
# certificate is given), writes the WiX source from ZephraRemote.wxs.in with a component for every
# file of the payload, runs wixl and signs the package.
#
#   cmake -DSETTINGS=file -DVERSION=a.b.c.d -DOUTPUT=pkg.msi -DWORK_DIR=dir [-DPAYLOAD=dir]
#         [-DSIGN_CERT=cert -DSIGN_KEY=key [-DSIGN_TIMESTAMP=url]] [-DSAY_UNSIGNED=ON] -P make_msi.cmake
#
# SETTINGS (written by the build, installer/CMakeLists.txt) sets what every package of the build
# shares: ARCH, JRE (the runtime folder's default name), the tools (WIXL, MSIINFO, MSIBUILD, STRIP,
# OSSLSIGNCODE), the deliverables (CLIENT, WIRELET, SHELLLAUNCH), CLIENT_VERSION (the launcher's file
# version), SETUP_DLL (the custom action DLL), ICON and TEMPLATE.
#
# Component GUIDs and the product code are derived (SHA-1 name-based UUIDs) from the architecture
# and the file's path in the installation, or the version: the same file keeps its component from
# one build and version to the next, and a package of the same version is the same product.

include(${SETTINGS})
foreach(var ARCH JRE WIXL MSIINFO MSIBUILD STRIP CLIENT CLIENT_VERSION WIRELET SHELLLAUNCH SETUP_DLL ICON TEMPLATE VERSION OUTPUT WORK_DIR)
  if("${${var}}" STREQUAL "")
    message(FATAL_ERROR "make_msi: ${var} is not set")
  endif()
endforeach()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "make_msi: VERSION must have four numeric fields, not '${VERSION}'")
endif()

# Fixed for ever: the upgrade code ties every version of one architecture's product together.
set(upgrade_code_x86 "CBF30856-5985-4DFB-BA86-6BBD766EAD21")
set(upgrade_code_x64 "412AF47E-2577-4099-BE51-F706292B877C")
set(guid_namespace "A95E5E71-7AF0-4C1C-988F-25DE5C857E92")

function(derived_guid out name)
  string(UUID guid NAMESPACE ${guid_namespace} NAME "${ARCH}/${name}" TYPE SHA1 UPPER)
  set(${out} ${guid} PARENT_SCOPE)
endfunction()

function(xml_escape out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(ARCH STREQUAL "x64")
  set(WIN64 "Win64=\"yes\"")
  set(PROGRAM_FILES ProgramFiles64Folder)
  set(arch_text "64-bit")
  set(vm_folders server client)
elseif(ARCH STREQUAL "x86")
  set(WIN64 "")
  set(PROGRAM_FILES ProgramFilesFolder)
  set(arch_text "32-bit")
  set(vm_folders client)
else()
  message(FATAL_ERROR "make_msi: unknown ARCH '${ARCH}'")
endif()
set(UPGRADE_CODE ${upgrade_code_${ARCH}})
derived_guid(PRODUCT_CODE "product/${VERSION}")
# Paths in the installation folder, in lower case: Windows does not tell the cases apart.
string(TOLOWER "${JRE}" jre_lower)
derived_guid(GUID_ZephraClient.exe "file/zephraclient.exe")
derived_guid(GUID_shelllaunch.exe "file/shelllaunch.exe")
derived_guid(GUID_Wirelet.dll "file/${jre_lower}/bin/wirelet.dll")
derived_guid(GUID_Configuration "registry/software/brevant/zephra remote")

# Sign only with both halves of the key pair; one alone is a mistake.
set(sign OFF)
if(SIGN_CERT AND SIGN_KEY)
  set(sign ON)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "make_msi: signing needs osslsigncode (scripts/setup installs it)")
  endif()
elseif(SIGN_CERT OR SIGN_KEY)
  message(FATAL_ERROR "make_msi: signing needs both ZEPHRA_SIGN_CERT and ZEPHRA_SIGN_KEY")
endif()

function(sign_file file)
  set(args sign -certs ${SIGN_CERT} -key ${SIGN_KEY} -h sha256 -n "Brevant Zephra Remote")
  if(SIGN_TIMESTAMP)
    list(APPEND args -ts ${SIGN_TIMESTAMP})
  endif()
  execute_process(COMMAND ${OSSLSIGNCODE} ${args} -in ${file} -out ${file}.signed
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "make_msi: signing ${file} failed:\n${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()

# The deliverables as shipped: stripped of the debug information, then signed.
set(STAGE ${WORK_DIR}/stage)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
foreach(file ${CLIENT} ${WIRELET} ${SHELLLAUNCH} ${SETUP_DLL})
  get_filename_component(name ${file} NAME)
  execute_process(COMMAND ${STRIP} -o ${STAGE}/${name} ${file} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "make_msi: cannot strip ${file}")
  endif()
  if(sign)
    sign_file(${STAGE}/${name})
  endif()
endforeach()
get_filename_component(setup_dll_name ${SETUP_DLL} NAME)
set(SETUP_DLL ${STAGE}/${setup_dll_name})

# The payload: every file a component of its own, in the installation folder as the payload has
# it. Its runtime folder (named JRE) is the package's runtime folder, which follows JREVERSION.
set(PAYLOAD_DIRECTORIES "")
set(PAYLOAD_REFS "")
set(payload_files "")
if(PAYLOAD)
  if(NOT IS_DIRECTORY "${PAYLOAD}")
    message(FATAL_ERROR "make_msi: the payload folder ${PAYLOAD} does not exist")
  endif()
  set(vm_found OFF)
  foreach(vm IN LISTS vm_folders)
    if(EXISTS "${PAYLOAD}/${JRE}/bin/${vm}/jvm.dll")
      set(vm_found ON)
    endif()
  endforeach()
  if(NOT vm_found)
    list(JOIN vm_folders " or " vms)
    message(FATAL_ERROR "make_msi: the payload holds no ${JRE}/bin/(${vms})/jvm.dll, the ${arch_text} Java "
      "runtime the launcher loads (ZEPHRA_JRE_VERSION names the runtime folder)")
  endif()
  file(GLOB_RECURSE payload_files LIST_DIRECTORIES true RELATIVE "${PAYLOAD}" "${PAYLOAD}/*")
  list(SORT payload_files)
endif()
foreach(path IN LISTS payload_files)
  string(TOLOWER "${path}" path_lower)
  foreach(own zephraclient.exe shelllaunch.exe "${jre_lower}/bin/wirelet.dll")
    if(path_lower STREQUAL own)
      message(FATAL_ERROR "make_msi: the payload holds ${path}, which the package brings itself")
    endif()
  endforeach()
  get_filename_component(parent "${path}" DIRECTORY)
  get_filename_component(name "${path}" NAME)
  # Directory ids: the three the package has, else one derived from the path.
  foreach(var parent path)
    string(TOLOWER "${${var}}" lower)
    if(lower STREQUAL "")
      set(${var}_id INSTALLDIR)
    elseif(lower STREQUAL jre_lower)
      set(${var}_id RUNTIMEDIR)
    elseif(lower STREQUAL "${jre_lower}/bin")
      set(${var}_id RUNTIMEBINDIR)
    else()
      string(MD5 hash "${lower}")
      set(${var}_id "d${hash}")
    endif()
  endforeach()
  xml_escape(name_xml "${name}")
  if(IS_DIRECTORY "${PAYLOAD}/${path}")
    if(NOT path_id MATCHES "^(RUNTIMEDIR|RUNTIMEBINDIR)$")
      string(APPEND PAYLOAD_DIRECTORIES
        "    <DirectoryRef Id=\"${parent_id}\"><Directory Id=\"${path_id}\" Name=\"${name_xml}\"/></DirectoryRef>\n")
    endif()
  else()
    string(MD5 hash "${path_lower}")
    derived_guid(guid "file/${path_lower}")
    file(RELATIVE_PATH source "${WORK_DIR}" "${PAYLOAD}/${path}")
    xml_escape(source_xml "${source}")
    string(APPEND PAYLOAD_DIRECTORIES
      "    <DirectoryRef Id=\"${parent_id}\"><Component Id=\"c${hash}\" Guid=\"${guid}\" ${WIN64}>"
      "<File Id=\"f${hash}\" Name=\"${name_xml}\" Source=\"${source_xml}\" KeyPath=\"yes\"/></Component></DirectoryRef>\n")
    string(APPEND PAYLOAD_REFS "      <ComponentRef Id=\"c${hash}\"/>\n")
  endif()
endforeach()

if(PAYLOAD)
  set(DESCRIPTION "Brevant Zephra Remote ${VERSION} (${arch_text}): the Java client, its runtime and the native layer")
  set(COMMENTS "Installs the Zephra Remote client with its private Java runtime and native layer.")
else()
  set(DESCRIPTION "Brevant Zephra Remote ${VERSION} (${arch_text}): native layer only, without the Java client and runtime")
  set(COMMENTS "Installs the native layer alone (ZephraClient.exe, Wirelet.dll, shelllaunch.exe); the Java client and its private runtime are not in this package.")
endif()

# wixl takes source files by paths relative to the WiX source.
foreach(var ICON SETUP_DLL STAGE)
  file(RELATIVE_PATH ${var} "${WORK_DIR}" "${${var}}")
endforeach()
foreach(var ICON SETUP_DLL STAGE JRE)
  xml_escape(${var} "${${var}}")
endforeach()
set(wxs ${WORK_DIR}/ZephraRemote.wxs)
configure_file(${TEMPLATE} ${wxs} @ONLY)

get_filename_component(output_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${output_dir})
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${WIXL} -a ${ARCH} -o ${OUTPUT} ${wxs} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "make_msi: wixl failed on ${wxs}:\n${out}")
endif()

# The properties that a user's installation passes on to its elevated part, besides those wixl
# lists: the folders chosen on the command line, and what the registry searches found.
execute_process(COMMAND ${MSIINFO} export ${OUTPUT} Property OUTPUT_VARIABLE properties RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  message(FATAL_ERROR "make_msi: no SecureCustomProperties in ${OUTPUT}")
endif()
set(secure "${CMAKE_MATCH_1};INSTALLDIR;JREVERSION;ZEPHRA_INSTALLED_DIR;ZEPHRA_INSTALLED_JRE")
# And the launcher's file version (wixl leaves the column empty), which repairs and upgrades compare.
execute_process(COMMAND ${MSIBUILD} ${OUTPUT}
  -q "UPDATE `Property` SET `Value` = '${secure}' WHERE `Property` = 'SecureCustomProperties'"
  -q "UPDATE `File` SET `Version` = '${CLIENT_VERSION}' WHERE `File` = 'ZephraClient.exe'"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_msi: msibuild could not update ${OUTPUT}")
endif()

get_filename_component(output_name ${OUTPUT} NAME)
if(sign)
  sign_file(${OUTPUT})
elseif(SAY_UNSIGNED)
  message(STATUS "${output_name}: not signed (give ZEPHRA_SIGN_CERT and ZEPHRA_SIGN_KEY to sign the package and the programs in it)")
endif()
