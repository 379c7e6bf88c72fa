#!/usr/bin/env bash
# Reads the Windows Installer packages of one architecture with msiinfo and checks what installs,
# upgrades and removes them: properties, the registry rows and their view, the 64-bit marks of the
# components, the upgrade table, where files and the shortcut go, the folder check, and that
# component GUIDs and the upgrade code stay the same between builds and versions.
#   check_tables.sh ARCH VERSION PRODUCT.msi TEST.msi OLDER-TEST.msi
# PRODUCT.msi is the package the build ships (no payload); TEST.msi is the same version with a
# payload, OLDER-TEST.msi an older version with a slightly different payload.
set -euo pipefail
arch=$1 version=$2 product=$3 new=$4 old=$5
failures=()
fail() { failures+=("$1"); }

# table MSI NAME: the rows, tab-separated, without the three header lines.
table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }
# expect MSI TABLE REGEX WHAT: some row matches the extended regular expression.
expect() { table "$1" "$2" | grep -Eq -- "$3" || fail "$(basename "$1"): $4"; }

case "$arch" in
  x64) upgrade_code="{412AF47E-2577-4099-BE51-F706292B877C}" template="x64;1033" program_files=ProgramFiles64Folder locator_type=18 ;;
  x86) upgrade_code="{CBF30856-5985-4DFB-BA86-6BBD766EAD21}" template="Intel;1033" program_files=ProgramFilesFolder locator_type=2 ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

for msi in "$product" "$new" "$old"; do
  [ -f "$msi" ] || { echo "missing package $msi" >&2; exit 1; }
  msiinfo suminfo "$msi" | grep -qx "Template: $template" || fail "$(basename "$msi"): template is not $template"
  # Properties: one upgrade code per architecture, for ever; the runtime folder's default name.
  expect "$msi" Property "^UpgradeCode	$upgrade_code\$" "upgrade code is not $upgrade_code"
  expect "$msi" Property "^ALLUSERS	1\$" "not a per-machine package"
  expect "$msi" Property "^JREVERSION	JRE 1\\.4\\.2_05\$" "JREVERSION default"
  expect "$msi" Property "^SecureCustomProperties	(.*;)?INSTALLDIR(;.*)?\$" "INSTALLDIR is not a secure property"

  # The launcher's configuration: exactly the two values, from the installation's properties, in
  # one component; the component's 64-bit mark (256) decides the registry view.
  rows=$(table "$msi" Registry | cut -f2-6 | sort)
  expected=$(printf '2\tSOFTWARE\\Brevant\\Zephra Remote\tInstallPath\t[INSTALLDIR]\tConfiguration\n2\tSOFTWARE\\Brevant\\Zephra Remote\tJREVersion\t[JREVERSION]\tConfiguration')
  [ "$rows" = "$expected" ] || fail "$(basename "$msi"): Registry rows are"$'\n'"$rows"
  # What the package reads back for repair, removal and upgrade: the same values, same view.
  [ "$(table "$msi" RegLocator | cut -f2-5 | sort)" = "$(printf '2\tSOFTWARE\\Brevant\\Zephra Remote\tInstallPath\t%s\n2\tSOFTWARE\\Brevant\\Zephra Remote\tJREVersion\t%s' $locator_type $locator_type)" ] ||
    fail "$(basename "$msi"): RegLocator rows (type $locator_type expected)"

  # Every component in this architecture's view: bit 256 on all of x64's, on none of x86's.
  while IFS=$'\t' read -r component _ _ attributes _; do
    if [ "$arch" = x64 ] && (( (attributes & 256) == 0 )); then fail "$(basename "$msi"): component $component is not 64-bit"; fi
    if [ "$arch" = x86 ] && (( (attributes & 256) != 0 )); then fail "$(basename "$msi"): component $component is 64-bit"; fi
  done < <(table "$msi" Component)

  # Upgrade: older versions of the product are removed before this one goes in (a newer one
  # present stops the installation), and the folder check runs once the folders are resolved.
  expect "$msi" Upgrade "^$upgrade_code		[0-9.]+		1		WIX_UPGRADE_DETECTED\$" "no upgrade row for older versions"
  expect "$msi" Upgrade "^$upgrade_code	[0-9.]+			2		WIX_DOWNGRADE_DETECTED\$" "no detection of newer versions"
  expect "$msi" LaunchCondition "^NOT WIX_DOWNGRADE_DETECTED	" "no launch condition against a newer version"
  sequence=$(table "$msi" InstallExecuteSequence | awk -F'\t' '{print $3, $1}' | sort -n | awk '{print $2}' | tr '\n' ' ')
  [[ "$sequence" == *" CostFinalize CheckInstallFolder "* ]] || fail "$(basename "$msi"): CheckInstallFolder does not follow CostFinalize"
  [[ "$sequence" == *" InstallValidate RemoveExistingProducts InstallInitialize "* ]] ||
    fail "$(basename "$msi"): RemoveExistingProducts is not between InstallValidate and InstallInitialize"
  [[ "$sequence" == *" RuntimeDirAfterSeparator CostFinalize "* ]] || fail "$(basename "$msi"): the runtime folder is not set before CostFinalize"
  expect "$msi" CustomAction "^CheckInstallFolder	[0-9]+	ZephraSetup	CheckInstallFolder	" "no folder check in the custom action DLL"
  expect "$msi" InstallExecuteSequence "^CheckInstallFolder	NOT Installed	" "the folder check also runs in maintenance"

  # Where things go: the programs in the installation folder, the library in the runtime's bin.
  expect "$msi" Directory "^BrevantDir	$program_files	Brevant\$" "maker's folder not under $program_files"
  expect "$msi" Directory "^INSTALLDIR	BrevantDir	Zephra Remote\$" "installation folder"
  expect "$msi" Directory "^RUNTIMEDIR	INSTALLDIR	JRE 1\\.4\\.2_05\$" "runtime folder"
  expect "$msi" Directory "^RUNTIMEBINDIR	RUNTIMEDIR	bin\$" "runtime bin folder"
  for placed in "ZephraClient.exe	INSTALLDIR" "shelllaunch.exe	INSTALLDIR" "Wirelet.dll	RUNTIMEBINDIR"; do
    expect "$msi" Component "^${placed%%	*}	[^	]+	${placed##*	}	" "${placed%%	*} not in ${placed##*	}"
  done
  expect "$msi" Shortcut "^StartMenuShortcut	ProgramMenuFolder	Brevant Zephra Remote	ZephraClient\\.exe	\\[#ZephraClient\\.exe\\]	.*	ZephraClient\\.ico	0	.*	INSTALLDIR	" \
    "Start menu shortcut (target, icon, working folder)"
done

expect "$product" Property "^ProductVersion	$version\$" "ProductVersion is not $version"
msiinfo suminfo "$product" | grep -q "^Subject: .*native layer only" || fail "$(basename "$product"): description does not say it holds the native layer only"
msiinfo suminfo "$new" | grep -q "native layer only" && fail "$(basename "$new"): a package with payload says it holds the native layer only"
# The payload: each file a component of its own, the runtime's files under the runtime folder.
expect "$new" File "	jvm\\.dll	" "payload's jvm.dll missing"
expect "$new" Directory "	RUNTIMEBINDIR	(client|server)\$" "payload's VM folder is not in the runtime's bin"

# Stable identities: a component keeps its GUID from build to build and version to version; the
# product code follows the version.
components() { table "$1" Component | cut -f1,2 | sort; }
common=$(comm -12 <(components "$new" | cut -f1) <(components "$old" | cut -f1) | wc -l)
[ "$common" -ge 10 ] || fail "the test packages share only $common components"
changed=$(join -t$'\t' <(components "$new") <(components "$old") | awk -F'\t' '$2 != $3' || true)
[ -z "$changed" ] || fail "component GUIDs differ between versions:"$'\n'"$changed"
[ -z "$(join -t$'\t' <(components "$product") <(components "$new") | awk -F'\t' '$2 != $3')" ] ||
  fail "component GUIDs differ between two builds"
code() { table "$1" Property | awk -F'\t' '$1 == "ProductCode" {print $2}'; }
[ "$(code "$product")" = "$(code "$new")" ] || fail "two packages of one version have different product codes"
[ "$(code "$new")" != "$(code "$old")" ] || fail "two versions have one product code"

if [ ${#failures[@]} -gt 0 ]; then
  printf '%s\n' "${failures[@]}" >&2
  exit 1
fi
echo "$arch packages: tables ok"
