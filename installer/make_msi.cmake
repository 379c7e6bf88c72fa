cmake_policy(VERSION 3.25)
# Builds one Windows Installer package: stages the deliverables (stripped, and signed when a
# certificate is given), writes the WiX source from ZephraRemote.wxs.in with a component for every
# file of the payload, runs wixl, adds what wixl cannot express with msibuild, and signs the package.
#
#   cmake -DSETTINGS=file -DVERSION=a.b.c.d -DOUTPUT=pkg.msi -DWORK_DIR=dir [-DPAYLOAD=dir]
#         [-DSIGN_CERT=cert -DSIGN_KEY=key [-DSIGN_TIMESTAMP=url | -DSIGN_UNSTAMPED=ON]]
#         [-DSAY_UNSIGNED=ON] -P make_msi.cmake
#
# SETTINGS (written by the build, installer/CMakeLists.txt) sets what every package of the build
# shares: ARCH, JRE (the runtime folder's default name), the tools (WIXL, MSIINFO, MSIBUILD, STRIP,
# WINDRES, OSSLSIGNCODE), the deliverables (CLIENT, WIRELET, SHELLLAUNCH), SETUP_DLL (the custom
# action DLL), ICON and TEMPLATE.
#
# Identities (SHA-1 name-based UUIDs): a component's GUID is derived from the architecture and the
# file's path in the installation, so the same file keeps its component from one build and version
# to the next; the product code and the package code are derived from the version and the
# package's content (every file that goes in, the template, this script and the tools), so a
# package that differs in anything is another product, and the same inputs make the same package.
#
# A signature is time-stamped (SIGN_TIMESTAMP): without a time stamp it turns invalid when the
# certificate expires, so signing without one stops the build unless SIGN_UNSTAMPED asks for it.

include(${SETTINGS})
foreach(var ARCH JRE WIXL MSIINFO MSIBUILD STRIP WINDRES CLIENT WIRELET SHELLLAUNCH SETUP_DLL ICON TEMPLATE VERSION OUTPUT WORK_DIR)
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

# Text for a single-quoted string of msibuild's SQL.
function(sql_escape out text)
  string(REPLACE "'" "''" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(ARCH STREQUAL "x64")
  set(WIN64 "Win64=\"yes\"")
  set(PROGRAM_FILES ProgramFiles64Folder)
  set(ARCH_TEXT "64-bit")
  set(OTHER_ARCH_TEXT "32-bit")
  set(other_arch x86)
  set(vm_folders server client)
elseif(ARCH STREQUAL "x86")
  set(WIN64 "")
  set(PROGRAM_FILES ProgramFilesFolder)
  set(ARCH_TEXT "32-bit")
  set(OTHER_ARCH_TEXT "64-bit")
  set(other_arch x64)
  set(vm_folders client)
else()
  message(FATAL_ERROR "make_msi: unknown ARCH '${ARCH}'")
endif()
set(UPGRADE_CODE ${upgrade_code_${ARCH}})
set(OTHER_UPGRADE_CODE ${upgrade_code_${other_arch}})
# Paths in the installation folder, in lower case: Windows does not tell the cases apart.
string(TOLOWER "${JRE}" jre_lower)
derived_guid(GUID_ZephraClient.exe "file/zephraclient.exe")
derived_guid(GUID_shelllaunch.exe "file/shelllaunch.exe")
derived_guid(GUID_Wirelet.dll "file/${jre_lower}/bin/wirelet.dll")
derived_guid(GUID_Configuration "registry/software/brevant/zephra remote")
derived_guid(GUID_StartMenuShortcut "shortcut/brevant zephra remote")

# Sign only with both halves of the key pair; one alone is a mistake.
set(sign OFF)
if(SIGN_CERT AND SIGN_KEY)
  set(sign ON)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "make_msi: signing needs osslsigncode (scripts/setup installs it)")
  endif()
  if(NOT SIGN_TIMESTAMP)
    if(NOT SIGN_UNSTAMPED)
      message(FATAL_ERROR "make_msi: a signature without a time stamp turns invalid when the certificate "
        "expires. Give a time-stamp server (ZEPHRA_SIGN_TIMESTAMP), or ZEPHRA_SIGN_UNSTAMPED=ON to sign without one.")
    endif()
    message(WARNING "make_msi: signing without a time stamp (ZEPHRA_SIGN_UNSTAMPED): the signatures turn "
      "invalid when the certificate expires")
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

# file_version(VERSION_OUT LANGUAGE_OUT file): the file version of a program or DLL's version
# resource (what Windows Installer compares) and its languages as decimal LANGIDs ("0" when the
# resource names none); both empty for a file without one.
function(file_version version_out language_out file)
  set(${version_out} "" PARENT_SCOPE)
  set(${language_out} "" PARENT_SCOPE)
  file(READ "${file}" magic LIMIT 2 HEX)
  if(NOT magic STREQUAL "4d5a")
    return()
  endif()
  execute_process(COMMAND ${WINDRES} -J coff -i "${file}" -O rc
    RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE error)
  if(NOT rc EQUAL 0)
    if(error MATCHES "no resource section")
      return()
    endif()
    message(FATAL_ERROR "make_msi: cannot read the resources of ${file}:\n${error}")
  endif()
  if(NOT text MATCHES "\n *FILEVERSION ([0-9]+), *([0-9]+), *([0-9]+), *([0-9]+)")
    return()
  endif()
  set(version "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}")
  set(languages "")
  if(text MATCHES "VALUE \"Translation\"((, *0x[0-9a-fA-F]+, *[0-9]+)+)")
    string(REGEX MATCHALL "0x[0-9a-fA-F]+, *[0-9]+" pairs "${CMAKE_MATCH_1}")
    foreach(pair IN LISTS pairs)
      string(REGEX REPLACE ",.*" "" id "${pair}")
      math(EXPR id "${id}")
      list(APPEND languages ${id})
    endforeach()
    list(REMOVE_DUPLICATES languages)
  endif()
  if(NOT languages)
    set(languages 0)
  endif()
  list(JOIN languages "," languages)
  set(${version_out} "${version}" PARENT_SCOPE)
  set(${language_out} "${languages}" PARENT_SCOPE)
endfunction()

# Short (8.3) names. A name that is one itself stands alone; any other gets a generated one,
# SHORT|name, unique (without regard to case) among the entries of its folder. The names that are
# short names themselves are reserved first (reserve_name), then the others are made (msi_name).
function(is_short_name out name)
  set(c "[A-Za-z0-9!#$%&'()@^_`{}~-]")
  set(${out} OFF PARENT_SCOPE)
  if(name MATCHES "^(${c}+)(\\.(${c}+))?$")
    string(LENGTH "${CMAKE_MATCH_1}" base)
    string(LENGTH "${CMAKE_MATCH_3}" ext)
    if(base LESS_EQUAL 8 AND ext LESS_EQUAL 3)
      set(${out} ON PARENT_SCOPE)
    endif()
  endif()
endfunction()
function(reserve_name name parent)
  is_short_name(short "${name}")
  if(short)
    string(TOUPPER "${name}" upper)
    set_property(GLOBAL APPEND PROPERTY "short_names_${parent}" "${upper}")
  endif()
endfunction()
function(msi_name out name parent)
  is_short_name(short "${name}")
  if(short)
    set(${out} "${name}" PARENT_SCOPE)
    return()
  endif()
  string(TOUPPER "${name}" upper)
  string(FIND "${upper}" "." dot REVERSE)
  set(ext "")
  set(base "${upper}")
  if(dot GREATER 0)
    string(SUBSTRING "${upper}" 0 ${dot} base)
    math(EXPR after "${dot} + 1")
    string(SUBSTRING "${upper}" ${after} -1 ext)
  endif()
  string(REGEX REPLACE "[^A-Z0-9_-]" "" base "${base}")
  string(REGEX REPLACE "[^A-Z0-9_-]" "" ext "${ext}")
  if(base STREQUAL "")
    set(base "_")
  endif()
  string(SUBSTRING "${ext}" 0 3 ext)
  if(NOT ext STREQUAL "")
    set(ext ".${ext}")
  endif()
  get_property(used GLOBAL PROPERTY "short_names_${parent}")
  foreach(n RANGE 1 99999)
    string(LENGTH "~${n}" tail)
    math(EXPR keep "8 - ${tail}")
    string(SUBSTRING "${base}" 0 ${keep} prefix)
    set(candidate "${prefix}~${n}${ext}")
    if(NOT candidate IN_LIST used)
      set_property(GLOBAL APPEND PROPERTY "short_names_${parent}" "${candidate}")
      set(${out} "${candidate}|${name}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "make_msi: no short name left for ${name}")
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
    message(FATAL_ERROR "make_msi: the payload holds no ${JRE}/bin/(${vms})/jvm.dll, the ${ARCH_TEXT} Java "
      "runtime the launcher loads (ZEPHRA_JRE_VERSION names the runtime folder)")
  endif()
  file(GLOB_RECURSE payload_files LIST_DIRECTORIES true RELATIVE "${PAYLOAD}" "${PAYLOAD}/*")
  list(SORT payload_files)
endif()

# payload_ids(path): parent_id and path_id, the Directory ids of the entry's folder and of the entry
# (the three the package has, else one derived from the path).
macro(payload_ids path)
  get_filename_component(parent "${path}" DIRECTORY)
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
endmacro()

# The package's own entries: id, name, folder id.
set(own_entries
  "BrevantDir|Brevant|${PROGRAM_FILES}" "INSTALLDIR|Zephra Remote|BrevantDir"
  "ZephraClient.exe|ZephraClient.exe|INSTALLDIR" "shelllaunch.exe|shelllaunch.exe|INSTALLDIR"
  "RUNTIMEDIR|${JRE}|INSTALLDIR" "RUNTIMEBINDIR|bin|RUNTIMEDIR" "Wirelet.dll|Wirelet.dll|RUNTIMEBINDIR"
  "StartMenuShortcut|Brevant Zephra Remote|ProgramMenuFolder")
foreach(pass reserve name)
  foreach(entry IN LISTS own_entries)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 id)
    list(GET fields 1 name)
    list(GET fields 2 parent)
    if(pass STREQUAL "reserve")
      reserve_name("${name}" ${parent})
    else()
      msi_name(msi "${name}" ${parent})
      xml_escape(NAME_${id} "${msi}")
    endif()
  endforeach()
  foreach(path IN LISTS payload_files)
    if(pass STREQUAL "reserve")
      payload_ids("${path}")
      get_filename_component(name "${path}" NAME)
      if(NOT path_id MATCHES "^(RUNTIMEDIR|RUNTIMEBINDIR)$")
        reserve_name("${name}" ${parent_id})
      endif()
    endif()
  endforeach()
endforeach()

# The content of the package, for its identity: what every file that goes in is, by its place.
set(content "arch ${ARCH}\nversion ${VERSION}\nruntime ${JRE}\n")
foreach(file ${TEMPLATE} ${CMAKE_CURRENT_LIST_FILE} ${ICON})
  file(SHA256 ${file} hash)
  get_filename_component(name ${file} NAME)
  string(APPEND content "${name} ${hash}\n")
endforeach()
execute_process(COMMAND ${WIXL} --version OUTPUT_VARIABLE tool_version OUTPUT_STRIP_TRAILING_WHITESPACE)
string(APPEND content "wixl ${tool_version}\n")
# Versioned files: their version and languages go in the File table, their hashes not.
set(versioned_ids "")
foreach(id ZephraClient.exe shelllaunch.exe Wirelet.dll ${setup_dll_name})
  file(SHA256 ${STAGE}/${id} hash)
  string(APPEND content "stage/${id} ${hash}\n")
  if(NOT id STREQUAL setup_dll_name)
    file_version(version language ${STAGE}/${id})
    if(version)
      list(APPEND versioned_ids ${id})
      set(version_${id} ${version})
      set(language_${id} ${language})
    endif()
  endif()
endforeach()

# The longest paths of the package's files (by their UTF-8 length): in the installation folder
# outside the runtime folder, and inside the runtime folder (the launcher's jvm.dll among them, which
# the runtime brings where the package has no payload).
function(take_longer var candidate)
  string(LENGTH "${candidate}" length)
  string(LENGTH "${${var}}" longest)
  if(length GREATER longest)
    set(${var} "${candidate}" PARENT_SCOPE)
  endif()
endfunction()
list(GET vm_folders 0 vm)
set(LONGEST_PATH "")
set(LONGEST_RUNTIME_PATH "")
foreach(candidate ZephraClient.exe shelllaunch.exe)
  take_longer(LONGEST_PATH "${candidate}")
endforeach()
foreach(candidate "bin\\${vm}\\jvm.dll" "bin\\Wirelet.dll")
  take_longer(LONGEST_RUNTIME_PATH "${candidate}")
endforeach()

set(PAYLOAD_DIRECTORIES "")
set(PAYLOAD_REFS "")
foreach(path IN LISTS payload_files)
  string(TOLOWER "${path}" path_lower)
  foreach(own zephraclient.exe shelllaunch.exe "${jre_lower}/bin/wirelet.dll")
    if(path_lower STREQUAL own)
      message(FATAL_ERROR "make_msi: the payload holds ${path}, which the package brings itself")
    endif()
  endforeach()
  payload_ids("${path}")
  get_filename_component(name "${path}" NAME)
  if(IS_DIRECTORY "${PAYLOAD}/${path}")
    if(NOT path_id MATCHES "^(RUNTIMEDIR|RUNTIMEBINDIR)$")
      msi_name(msi "${name}" ${parent_id})
      xml_escape(name_xml "${msi}")
      string(APPEND PAYLOAD_DIRECTORIES
        "    <DirectoryRef Id=\"${parent_id}\"><Directory Id=\"${path_id}\" Name=\"${name_xml}\"/></DirectoryRef>\n")
    endif()
  else()
    msi_name(msi "${name}" ${parent_id})
    xml_escape(name_xml "${msi}")
    string(MD5 hash "${path_lower}")
    set(id "f${hash}")
    derived_guid(guid "file/${path_lower}")
    file(RELATIVE_PATH source "${WORK_DIR}" "${PAYLOAD}/${path}")
    xml_escape(source_xml "${source}")
    string(APPEND PAYLOAD_DIRECTORIES
      "    <DirectoryRef Id=\"${parent_id}\"><Component Id=\"c${hash}\" Guid=\"${guid}\" ${WIN64}>"
      "<File Id=\"${id}\" Name=\"${name_xml}\" Source=\"${source_xml}\" KeyPath=\"yes\"/></Component></DirectoryRef>\n")
    string(APPEND PAYLOAD_REFS "      <ComponentRef Id=\"c${hash}\"/>\n")
    file(SHA256 "${PAYLOAD}/${path}" file_hash)
    string(APPEND content "payload/${path} ${file_hash}\n")
    file_version(version language "${PAYLOAD}/${path}")
    if(version)
      list(APPEND versioned_ids ${id})
      set(version_${id} ${version})
      set(language_${id} ${language})
    endif()
    # Its path in the installation, the runtime's files relative to the runtime folder.
    string(REPLACE "/" "\\" relative "${path}")
    set(var LONGEST_PATH)
    string(LENGTH "${JRE}/" jre_length)
    string(SUBSTRING "${path_lower}" 0 ${jre_length} head)
    if(head STREQUAL "${jre_lower}/")
      set(var LONGEST_RUNTIME_PATH)
      string(SUBSTRING "${relative}" ${jre_length} -1 relative)
    endif()
    take_longer(${var} "${relative}")
  endif()
endforeach()
xml_escape(LONGEST_PATH "${LONGEST_PATH}")
xml_escape(LONGEST_RUNTIME_PATH "${LONGEST_RUNTIME_PATH}")

string(SHA256 content_hash "${content}")
file(WRITE ${WORK_DIR}/content.txt "${content}")
derived_guid(PRODUCT_CODE "product/${VERSION}/${content_hash}")
derived_guid(package_code "package/${VERSION}/${content_hash}")

if(PAYLOAD)
  set(DESCRIPTION "Brevant Zephra Remote ${VERSION} (${ARCH_TEXT}): the Java client, its runtime and the native layer")
  set(COMMENTS "Installs the Zephra Remote client with its private Java runtime and native layer.")
else()
  set(DESCRIPTION "Brevant Zephra Remote ${VERSION} (${ARCH_TEXT}): native layer only, without the Java client and runtime")
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

# What wixl cannot express, with msibuild.
set(queries "")
# The properties that a user's installation passes on to its elevated part, besides those wixl
# lists: the folders chosen on the command line, and what the searches found.
execute_process(COMMAND ${MSIINFO} export ${OUTPUT} Property OUTPUT_VARIABLE properties RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  message(FATAL_ERROR "make_msi: no SecureCustomProperties in ${OUTPUT}")
endif()
set(secure "${CMAKE_MATCH_1};INSTALLDIR;JREVERSION;ZEPHRA_INSTALLED_DIR;ZEPHRA_REGISTERED_DIR;ZEPHRA_INSTALLED_RUNTIME;ZEPHRA_INSTALLED_JRE")
# The version and languages of every versioned file (wixl leaves the columns empty), which repair
# and upgrade compare; such files have no hash (the version decides).
foreach(id IN LISTS versioned_ids)
  list(APPEND queries
    "UPDATE `File` SET `Version` = '${version_${id}}', `Language` = '${language_${id}}' WHERE `File` = '${id}'"
    "DELETE FROM `MsiFileHash` WHERE `File_` = '${id}'")
endforeach()
# Products of the same version are replaced too (a rebuild, another payload, another fourth
# field): the upper bound of the older versions' row includes this version (512), besides
# migrating feature states (1). The bound is a key column, so the row is made anew.
list(APPEND queries
  "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
  "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{${UPGRADE_CODE}}', '${VERSION}', 513, 'WIX_UPGRADE_DETECTED')")
# Where the installed product keeps ZephraClient.exe and Wirelet.dll: a search of their components
# (type 1, a file key path; with no Signature row the property is the file's folder).
list(APPEND queries
  "CREATE TABLE `CompLocator` (`Signature_` CHAR(72) NOT NULL, `ComponentId` CHAR(38) NOT NULL, `Type` SHORT PRIMARY KEY `Signature_`)"
  "INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) VALUES ('InstalledLauncher', '{${GUID_ZephraClient.exe}}', 1)"
  "INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) VALUES ('InstalledWirelet', '{${GUID_Wirelet.dll}}', 1)"
  "INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('ZEPHRA_INSTALLED_DIR', 'InstalledLauncher')"
  "INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('ZEPHRA_INSTALLED_RUNTIME', 'InstalledWirelet')")
set(args "")
foreach(query IN LISTS queries)
  list(APPEND args -q "${query}")
endforeach()
# The database's code page (strings in the Western European ANSI code page).
file(WRITE ${WORK_DIR}/_ForceCodepage.idt "\r\n\r\n1252\t_ForceCodepage\r\n")
# (The list of secure properties holds semicolons, so it is one argument of its own.)
execute_process(COMMAND ${MSIBUILD} ${OUTPUT} ${args} -i ${WORK_DIR}/_ForceCodepage.idt
  -q "UPDATE `Property` SET `Value` = '${secure}' WHERE `Property` = 'SecureCustomProperties'"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_msi: msibuild could not update ${OUTPUT}")
endif()
# The package code (summary information), derived like the product code.
if(ARCH STREQUAL "x64")
  set(template "x64;1033")
else()
  set(template "Intel;1033")
endif()
execute_process(COMMAND ${MSIBUILD} ${OUTPUT} -s "${DESCRIPTION}" Brevant "${template}" "{${package_code}}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_msi: msibuild could not set the package code of ${OUTPUT}")
endif()

get_filename_component(output_name ${OUTPUT} NAME)
if(sign)
  sign_file(${OUTPUT})
elseif(SAY_UNSIGNED)
  message(STATUS "${output_name}: not signed (give ZEPHRA_SIGN_CERT and ZEPHRA_SIGN_KEY to sign the package and the programs in it)")
endif()
