#!/usr/bin/env bash
# Reads the Windows Installer packages of one architecture with msiinfo and checks what installs,
# upgrades and removes them: properties, the registry rows and their view, the 64-bit marks of the
# components, the upgrade table and the launch conditions, where files and the shortcut go, where
# repair, removal and upgrade find the installation, the folder check, and that component GUIDs
# and the upgrade code stay the same between builds and versions while every package that differs
# is another product. Also the rules of Windows Installer's validation (ICE) that wixl and Wine do
# not apply: short names (ICE03), versions and no hashes for versioned files (ICE60), and the
# shortcut's component (ICE43, ICE57).
#   check_tables.sh ARCH VERSION PRODUCT.msi TEST.msi OLDER-TEST.msi REBUILD-TEST.msi
# VERSION is the build's (its programs' file version). PRODUCT.msi is the package the build ships
# (no payload); TEST.msi is the same version with a payload, OLDER-TEST.msi an older version with a
# slightly different payload, REBUILD-TEST.msi a version that differs in the fourth field only.
set -euo pipefail
arch=$1 version=$2 product=$3 new=$4 old=$5 rebuild=$6
failures=()
fail() { failures+=("$1"); }

# table MSI NAME: the rows, tab-separated, without the three header lines (none for a missing table).
table() { { msiinfo export "$1" "$2" 2>/dev/null || true; } | tail -n +4 | tr -d '\r'; }
# expect MSI TABLE REGEX WHAT: some row matches the extended regular expression.
expect() { table "$1" "$2" | grep -Eq -- "$3" || fail "$(basename "$1"): $4"; }

x64_code="{412AF47E-2577-4099-BE51-F706292B877C}" x86_code="{CBF30856-5985-4DFB-BA86-6BBD766EAD21}"
case "$arch" in
  x64) upgrade_code=$x64_code other_code=$x86_code template="x64;1033" program_files=ProgramFiles64Folder locator_type=18 vm=server ;;
  x86) upgrade_code=$x86_code other_code=$x64_code template="Intel;1033" program_files=ProgramFilesFolder locator_type=2 vm=client ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
property() { table "$1" Property | awk -F'\t' -v name="$2" '$1 == name {print $2}'; }

for msi in "$product" "$new" "$old" "$rebuild"; do
  [ -f "$msi" ] || { echo "missing package $msi" >&2; exit 1; }
  msiinfo suminfo "$msi" | grep -qx "Template: $template" || fail "$(basename "$msi"): template is not $template"
  # Properties: one upgrade code per architecture, for ever; the runtime folder's default name.
  expect "$msi" Property "^UpgradeCode	$upgrade_code\$" "upgrade code is not $upgrade_code"
  expect "$msi" Property "^ALLUSERS	1\$" "not a per-machine package"
  expect "$msi" Property "^JREVERSION	JRE 1\\.4\\.2_05\$" "JREVERSION default"
  expect "$msi" Property "^SecureCustomProperties	(.*;)?INSTALLDIR(;.*)?\$" "INSTALLDIR is not a secure property"

  # The launcher's configuration: exactly the two values, from the installation's properties, in
  # one component; the component's 64-bit mark (256) decides the registry view. The shortcut's
  # component is kept by a value of the user's.
  rows=$(table "$msi" Registry | cut -f2-6 | sort)
  expected=$(printf '1\tSoftware\\Brevant\\Zephra Remote\tStartMenuShortcut\t#1\tStartMenuShortcut\n2\tSOFTWARE\\Brevant\\Zephra Remote\tInstallPath\t[INSTALLDIR]\tConfiguration\n2\tSOFTWARE\\Brevant\\Zephra Remote\tJREVersion\t[JREVERSION]\tConfiguration')
  [ "$rows" = "$expected" ] || fail "$(basename "$msi"): Registry rows are"$'\n'"$rows"
  # Where repair, removal and upgrade find the installation: the installed product's own record of
  # its ZephraClient.exe and Wirelet.dll (component searches, their files' folders), then the
  # launcher's values in the package's view; a default folder only where neither is found.
  [ "$(table "$msi" RegLocator | cut -f2-5 | sort)" = "$(printf '2\tSOFTWARE\\Brevant\\Zephra Remote\tInstallPath\t%s\n2\tSOFTWARE\\Brevant\\Zephra Remote\tJREVersion\t%s' $locator_type $locator_type)" ] ||
    fail "$(basename "$msi"): RegLocator rows (type $locator_type expected)"
  component_id() { table "$msi" Component | awk -F'\t' -v c="$1" '$1 == c {print $2}'; }
  locators=$(table "$msi" CompLocator | sort)
  [ "$locators" = "$(printf 'InstalledLauncher\t%s\t1\nInstalledWirelet\t%s\t1' "$(component_id ZephraClient.exe)" "$(component_id Wirelet.dll)")" ] ||
    fail "$(basename "$msi"): CompLocator rows are"$'\n'"$locators"
  expect "$msi" AppSearch "^ZEPHRA_INSTALLED_DIR	InstalledLauncher\$" "no search for the installed launcher's folder"
  expect "$msi" AppSearch "^ZEPHRA_INSTALLED_RUNTIME	InstalledWirelet\$" "no search for the installed Wirelet.dll's folder"
  ! table "$msi" Signature | grep -q '^Installed' || fail "$(basename "$msi"): a component search has a file signature"
  expect "$msi" CustomAction "^UseInstalledDir	[0-9]+	INSTALLDIR	\[ZEPHRA_INSTALLED_DIR\]	" "UseInstalledDir"
  expect "$msi" CustomAction "^UseRegisteredDir	[0-9]+	INSTALLDIR	\[ZEPHRA_REGISTERED_DIR\]	" "UseRegisteredDir"
  expect "$msi" CustomAction "^UseInstalledRuntime	[0-9]+	ZephraSetup	UseInstalledRuntime	" "UseInstalledRuntime"
  for seq in InstallUISequence InstallExecuteSequence; do
    order=$(table "$msi" $seq | awk -F'\t' '{print $3, $1}' | sort -n | awk '{print $2}' | tr '\n' ' ')
    [[ "$order" == *" AppSearch UseInstalledDir UseRegisteredDir UseInstalledJre UseInstalledRuntime DefaultInstallDir "* ]] ||
      fail "$(basename "$msi"): $seq: the folders are not taken from the product first, the registry then, a default last"
    expect "$msi" $seq "^UseRegisteredDir	ZEPHRA_REGISTERED_DIR AND NOT ZEPHRA_INSTALLED_DIR AND " "$seq: the registry value overrides the product's record"
  done
  expect "$msi" Property "^SecureCustomProperties	(.*;)?ZEPHRA_INSTALLED_DIR(;.*)?\$" "ZEPHRA_INSTALLED_DIR is not a secure property"

  # Every component in this architecture's view: bit 256 on all of x64's, on none of x86's.
  while IFS=$'\t' read -r component _ _ attributes _; do
    if [ "$arch" = x64 ] && (( (attributes & 256) == 0 )); then fail "$(basename "$msi"): component $component is not 64-bit"; fi
    if [ "$arch" = x86 ] && (( (attributes & 256) != 0 )); then fail "$(basename "$msi"): component $component is 64-bit"; fi
  done < <(table "$msi" Component)

  # Upgrade: older versions of the product and other products of the same version (the upper
  # bound included, 512, besides migrating features, 1) are removed inside this installation's
  # transaction, after InstallInitialize and before the first action that writes its script; a
  # newer one present stops the installation; so does the other architecture's product, or a
  # Windows older than 7. The folder check runs once the folders are resolved.
  msi_version=$(property "$msi" ProductVersion)
  expect "$msi" Upgrade "^$upgrade_code		${msi_version//./\\.}		513		WIX_UPGRADE_DETECTED\$" "no upgrade row for older versions and this one"
  expect "$msi" Upgrade "^$upgrade_code	${msi_version//./\\.}			2		WIX_DOWNGRADE_DETECTED\$" "no detection of newer versions"
  expect "$msi" Upgrade "^$other_code	0\\.0\\.0			258		ZEPHRA_OTHER_ARCHITECTURE\$" "no detection of the other architecture's product"
  expect "$msi" LaunchCondition "^NOT WIX_DOWNGRADE_DETECTED	" "no launch condition against a newer version"
  expect "$msi" LaunchCondition "^Installed OR NOT ZEPHRA_OTHER_ARCHITECTURE	The [0-9]+-bit Brevant Zephra Remote is installed .* cannot be installed together" \
    "no launch condition against the other architecture"
  expect "$msi" LaunchCondition "^Installed OR VersionNT >= 601	Brevant Zephra Remote needs Windows 7 or later\\.\$" "no launch condition for Windows 7"
  sequence=$(table "$msi" InstallExecuteSequence | awk -F'\t' '{print $3, $1}' | sort -n | awk '{print $2}' | tr '\n' ' ')
  [[ "$sequence" == *" CostFinalize CheckInstallFolder "* ]] || fail "$(basename "$msi"): CheckInstallFolder does not follow CostFinalize"
  [[ "$sequence" == *" InstallInitialize RemoveExistingProducts ProcessComponents "* ]] ||
    fail "$(basename "$msi"): RemoveExistingProducts is not between InstallInitialize and the script's first action"
  [[ "$sequence" == *" RuntimeDirAfterSeparator CostFinalize "* ]] || fail "$(basename "$msi"): the runtime folder is not set before CostFinalize"
  expect "$msi" CustomAction "^CheckInstallFolder	[0-9]+	ZephraSetup	CheckInstallFolder	" "no folder check in the custom action DLL"
  expect "$msi" InstallExecuteSequence "^CheckInstallFolder	NOT Installed	" "the folder check also runs in maintenance"

  # Programs and Features: the publisher, where the installation lies (once resolved), no "Change";
  # and the database's code page.
  expect "$msi" Property "^Manufacturer	Brevant\$" "no publisher"
  expect "$msi" Property "^ARPNOMODIFY	1\$" "ARPNOMODIFY is not set"
  expect "$msi" CustomAction "^SetInstallLocation	[0-9]+	ARPINSTALLLOCATION	\[INSTALLDIR\]	" "ARPINSTALLLOCATION"
  [[ "$sequence" == *" CostFinalize "*" SetInstallLocation "*" InstallValidate "* ]] || fail "$(basename "$msi"): ARPINSTALLLOCATION is not set after CostFinalize"
  msiinfo export "$msi" _ForceCodepage | tr -d '\r' | grep -qx '1252	_ForceCodepage' || fail "$(basename "$msi"): the database has no code page 1252"

  # ICE03: every file, folder and shortcut name is a short (8.3) name, or SHORT|long with a valid
  # short name; short names are unique, without regard to case, among the entries of a folder.
  short_names=$( (table "$msi" File | cut -f2,3 | while IFS=$'\t' read -r component name; do
                    printf '%s\t%s\n' "$(table "$msi" Component | awk -F'\t' -v c="$component" '$1 == c {print $3}')" "$name"
                  done
                  table "$msi" Directory | awk -F'\t' '$2 != "" && $3 != "." {print $2 "\t" $3}'
                  table "$msi" Shortcut | cut -f2,3) )
  while IFS=$'\t' read -r folder name; do
    short=${name%%|*}
    [[ "$short" =~ ^[A-Za-z0-9!#\$%\&\'\(\)@^_\`{}~-]{1,8}(\.[A-Za-z0-9!#\$%\&\'\(\)@^_\`{}~-]{1,3})?$ ]] ||
      fail "$(basename "$msi"): '$name' (in $folder) has no valid short name"
  done <<<"$short_names"
  duplicates=$(awk -F'\t' '{ s = $2; sub(/\|.*/, "", s); print $1 "\t" toupper(s) }' <<<"$short_names" | sort | uniq -d)
  [ -z "$duplicates" ] || fail "$(basename "$msi"): short names used twice in a folder: $duplicates"

  # ICE60: the versioned files carry their version and language, and no hash; the others a hash.
  for file in ZephraClient.exe shelllaunch.exe Wirelet.dll; do
    expect "$msi" File "^$file	$file	[^	]*	[0-9]+	${version//./\\.}	1033	" "$file has not its version $version and language 1033"
  done
  hashed=$(table "$msi" MsiFileHash | cut -f1)
  # (Tab-separated fields may be empty: read through awk, not read.)
  while IFS='|' read -r file name file_version language; do
    if [ -n "$file_version" ]; then
      [ -n "$language" ] || fail "$(basename "$msi"): versioned $name has no language"
      ! grep -qxF "$file" <<<"$hashed" || fail "$(basename "$msi"): versioned $name has a hash (ICE60)"
    else
      grep -qxF "$file" <<<"$hashed" || fail "$(basename "$msi"): unversioned $name has no hash"
    fi
  done < <(table "$msi" File | awk -F'\t' '{ sub(/.*\|/, "", $3); print $1 "|" $3 "|" $5 "|" $6 }')

  # ICE43, ICE57: the shortcut lies in a component of its own, without files, whose key path is a
  # value under HKEY_CURRENT_USER.
  shortcut_component=$(table "$msi" Shortcut | awk -F'\t' '$1 == "StartMenuShortcut" {print $4}')
  key_path=$(table "$msi" Component | awk -F'\t' -v c="$shortcut_component" '$1 == c {print $6}')
  table "$msi" Registry | awk -F'\t' -v k="$key_path" '$1 == k && $2 == 1' | grep -q . ||
    fail "$(basename "$msi"): the shortcut's component $shortcut_component is not kept by an HKCU value (key path $key_path)"
  ! table "$msi" File | cut -f2 | grep -qxF "$shortcut_component" || fail "$(basename "$msi"): the shortcut's component holds files"

  # Where things go: the programs in the installation folder, the library in the runtime's bin.
  expect "$msi" Directory "^BrevantDir	$program_files	Brevant\$" "maker's folder not under $program_files"
  expect "$msi" Directory "^INSTALLDIR	BrevantDir	[^|]+\\|Zephra Remote\$" "installation folder"
  expect "$msi" Directory "^RUNTIMEDIR	INSTALLDIR	[^|]+\\|JRE 1\\.4\\.2_05\$" "runtime folder"
  expect "$msi" Directory "^RUNTIMEBINDIR	RUNTIMEDIR	bin\$" "runtime bin folder"
  for placed in "ZephraClient.exe	INSTALLDIR" "shelllaunch.exe	INSTALLDIR" "Wirelet.dll	RUNTIMEBINDIR"; do
    expect "$msi" Component "^${placed%%	*}	[^	]+	${placed##*	}	" "${placed%%	*} not in ${placed##*	}"
  done
  expect "$msi" Shortcut "^StartMenuShortcut	ProgramMenuFolder	[^|]+\\|Brevant Zephra Remote	StartMenuShortcut	\\[#ZephraClient\\.exe\\]	.*	ZephraClient\\.ico	0	.*	INSTALLDIR	" \
    "Start menu shortcut (target, icon, working folder)"
done

expect "$product" Property "^ProductVersion	$version\$" "ProductVersion is not $version"
msiinfo suminfo "$product" | grep -q "^Subject: .*native layer only" || fail "$(basename "$product"): description does not say it holds the native layer only"
msiinfo suminfo "$new" | grep -q "native layer only" && fail "$(basename "$new"): a package with payload says it holds the native layer only"
# The payload: each file a component of its own, the runtime's files under the runtime folder; the
# runtime's versioned jvm.dll (the double's 1.4.2.5) with its version.
expect "$new" File "	jvm\\.dll	[0-9]+	1\\.4\\.2\\.5	1033	" "payload's jvm.dll missing, or without its version"
expect "$new" Directory "	RUNTIMEBINDIR	(client|server)\$" "payload's VM folder is not in the runtime's bin"
# The folder check measures the longest paths of the package: the launcher's jvm.dll path where the
# runtime is not in the package, the payload's deepest file where it is.
for msi in "$product" "$new"; do
  expected_longest="ZephraClient.exe" expected_runtime="bin\\$vm\\jvm.dll"
  if [ "$msi" = "$new" ]; then
    expected_longest="commons-httpclient-2.0.2.jar" expected_runtime='lib\zi\America\Indiana\Indianapolis'
  fi
  [ "$(property "$msi" ZephraLongestPath)" = "$expected_longest" ] ||
    fail "$(basename "$msi"): longest path $(property "$msi" ZephraLongestPath), not $expected_longest"
  [ "$(property "$msi" ZephraLongestRuntimePath)" = "$expected_runtime" ] ||
    fail "$(basename "$msi"): longest runtime path $(property "$msi" ZephraLongestRuntimePath), not $expected_runtime"
done

# Stable identities: a component keeps its GUID from build to build and version to version; every
# package that differs (in payload, version or any file) is another product with a package code of
# its own, while the upgrade code stays.
components() { table "$1" Component | cut -f1,2 | sort; }
common=$(comm -12 <(components "$new" | cut -f1) <(components "$old" | cut -f1) | wc -l)
[ "$common" -ge 10 ] || fail "the test packages share only $common components"
changed=$(join -t$'\t' <(components "$new") <(components "$old") | awk -F'\t' '$2 != $3' || true)
[ -z "$changed" ] || fail "component GUIDs differ between versions:"$'\n'"$changed"
[ -z "$(join -t$'\t' <(components "$product") <(components "$new") | awk -F'\t' '$2 != $3')" ] ||
  fail "component GUIDs differ between two builds"
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
for msi in "$product" "$new" "$old" "$rebuild"; do
  printf '%s %s\n' "$(property "$msi" ProductCode)" "$(package_code "$msi")"
done | tr ' ' '\n' | sort | uniq -d | grep -q . && fail "two packages that differ share a product or package code"
expect "$rebuild" Property "^ProductVersion	${version%.*}\\.$(( ${version##*.} + 1 ))\$" "the rebuild's version is not the fourth field's next"

if [ ${#failures[@]} -gt 0 ]; then
  printf '%s\n' "${failures[@]}" >&2
  exit 1
fi
echo "$arch packages: tables ok"
