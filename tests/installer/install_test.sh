#!/usr/bin/env bash
# Installs the test packages under Wine with msiexec, in a prefix of their own, and checks what a
# user gets: the files where the launcher looks, the configuration in the package's registry view
# and nowhere else, the Start menu shortcut and the one entry among the installed programs; the
# launcher started from the shortcut's target running the Java main on the JVM double; and that
# removal leaves nothing behind.
#   install_test.sh WINE_RUN BENCH_DIR ARCH NEW.msi OLD.msi REBUILD.msi PRODUCT.msi OTHER.msi shortcut_run.exe SCENARIO
# SCENARIO: setup (a fresh prefix), stop, default_folder, custom_folder, refused_folder,
# upgrade_repair, same_version, older_windows, other_architecture (exits 77, skipped, where
# OTHER.msi has not been built).
# NEW.msi carries this version with the payload beside it (payload-<version>), OLD.msi an older one;
# REBUILD.msi differs from this version in the fourth field only and has NEW.msi's payload;
# PRODUCT.msi is the shipped package of this version (the native layer alone); OTHER.msi is the
# other architecture's NEW.msi.
set -euo pipefail
wine_run=$1 bench=$2 arch=$3 new_msi=$(realpath "$4") old_msi=$(realpath "$5") rebuild_msi=$(realpath "$6")
product_msi=$(realpath "$7") other_msi=$8 shortcut_run=$9 scenario=${10}
mkdir -p "$bench"
bench=$(cd "$bench" && pwd)  # Windows sees it as Z:\..., which must be absolute
new_payload=$(dirname "$new_msi")/payload-$(basename "$new_msi" | cut -d- -f2)
old_payload=$(dirname "$old_msi")/payload-$(basename "$old_msi" | cut -d- -f2)
drive_c=$bench/wine/prefix/drive_c
logs=$bench/logs
key='HKLM\SOFTWARE\Brevant\Zephra Remote'
user_key='HKCU\Software\Brevant\Zephra Remote'
# The payloads' runtime folder, and where the installation has it (JREVERSION).
payload_jre="JRE 1.4.2_05"
jre=$payload_jre
if [ "$arch" = x64 ]; then
  program_files="Program Files" view=64 other_view=32 vm=server
else
  program_files="Program Files (x86)" view=32 other_view=64 vm=client
fi
default_dir="C:\\$program_files\\Brevant\\Zephra Remote\\"
# Blanks and accented letters: a folder the ANSI code page (1252 here) can hold.
custom_parent='C:\Zéphyr Éditions à Noël'
custom_dir="$custom_parent\\Zephra Remote"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
wine() { timeout 120 "$wine_run" "$bench" "$@"; }
# unix_path C:\WINDOWS\PATH: where it lies on this machine; windows_path /unix/path: as Z:\...
unix_path() { local p=${1#C:\\}; p=${p%\\}; echo "$drive_c/${p//\\//}"; }
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

# msiexec ARGS...: runs it, logged, and sets rc to its exit code (modulo 256, as a Unix exit
# status: 1603 shows as 67) and log to its log.
log_count=0
msiexec() {
  log_count=$((log_count + 1))
  log="$logs/$scenario-$log_count.log"
  rc=0
  wine msiexec.exe "$@" /l*v "$(windows_path "$log")" >>"$logs/output.txt" 2>&1 || rc=$?
}
install() { msiexec /i "$(windows_path "$1")" /qn "${@:2}"; }
uninstall() { msiexec /x "$(windows_path "$1")" /qn; }
expect_rc() { [ "$rc" = "$1" ] || fail "$2: msiexec exited with $rc, not $1 (log: $log)"; }

# The configuration values in one registry view as Name=value lines, or "absent".
registry() {
  local file=$bench/key.reg
  rm -f "$file"
  if ! wine reg.exe export "$key" "$(windows_path "$file")" "/reg:$1" /y >/dev/null 2>&1; then
    echo absent
    return
  fi
  # reg export writes UTF-16 faithfully (reg query would garble accented letters).
  iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | sed -n 's/^"\([^"]*\)"="\(.*\)"$/\1=\2/p' | sed 's/\\\\/\\/g' | sort
}
programs() { wine uninstaller.exe --list | tr -d '\r' | grep -c '|||Brevant Zephra Remote$' || true; }
shortcut() { find "$drive_c" -name 'Brevant Zephra Remote.lnk' 2>/dev/null | head -n1; }

# expect_installed WINDOWS_DIR PAYLOAD: a complete installation in the folder (trailing backslash).
expect_installed() {
  local dir=$1 payload=$2 unix file
  unix=$(unix_path "$dir")
  for file in ZephraClient.exe shelllaunch.exe "$jre/bin/Wirelet.dll" "$jre/bin/$vm/jvm.dll"; do
    [ -f "$unix/$file" ] || fail "missing $dir$file"
  done
  # The payload as it is, and nothing of it left out; its runtime in the runtime folder.
  while IFS= read -r file; do
    cmp -s "$payload/$file" "$unix/${file/#"$payload_jre"\//$jre/}" || fail "$dir$file is not the payload's"
  done < <(cd "$payload" && find . -type f | sed 's|^\./||')
  local expected
  expected=$(printf 'InstallPath=%s\nJREVersion=%s' "$dir" "$jre")
  [ "$(registry $view)" = "$expected" ] || fail "$view-bit view holds $(registry $view | tr '\n' ' '), not $expected"
  [ "$(registry $other_view)" = absent ] || fail "the $other_view-bit view holds the key too"
  [ -n "$(shortcut)" ] || fail "no Start menu shortcut"
  [ "$(programs)" = 1 ] || fail "$(programs) entries among the installed programs, not 1"
  # The shortcut's component is kept by a per-user value.
  wine reg.exe query "$user_key" /v StartMenuShortcut >/dev/null 2>&1 || fail "no $user_key StartMenuShortcut value"
}

# expect_launch WINDOWS_DIR: the shortcut's target starts the launcher, which runs the Java main.
expect_launch() {
  local dir=$1 base=${1%\\} record=$bench/record.txt out rc=0
  rm -f "$record"
  out=$(ZEPHRA_JVM_RECORD=$(windows_path "$record") timeout 120 "$wine_run" "$bench" "$shortcut_run" \
    "$(windows_path "$(shortcut)")") || rc=$?
  [ "$rc" = 0 ] || fail "the launcher exited with $rc: $out"
  field() { sed -n "s/^$1 //p" <<<"$out"; }
  [ "$(field target)" = "${dir}ZephraClient.exe" ] || fail "shortcut target: $(field target)"
  local directory
  directory=$(field directory)
  [ "${directory%\\}" = "$base" ] || fail "shortcut working folder: $directory"
  local icon
  icon=$(field icon)
  icon=${icon%,0}
  [[ "$icon" == *'\ZephraClient.ico' && -f "$(unix_path "$icon")" ]] || fail "shortcut icon: $(field icon)"
  [ -f "$record" ] || { fail "the JVM double was not loaded"; return; }
  grep -qx "main-argc 0" "$record" || fail "the Java main did not run"
  grep -qxF "create-cwd $base" "$record" || fail "working folder: $(grep create-cwd "$record")"
  [[ "$(grep '^create-path ' "$record")" == "create-path $base;$base\\$jre\\bin;"* ]] ||
    fail "search path: $(grep create-path "$record")"
  grep -qx unloaded "$record" || fail "the VM was not unloaded"
  ! grep -q "^violation" "$record" || fail "JNI violations: $(grep violation "$record")"
}

# expect_removed WINDOWS_DIR: no file, folder, shortcut, key or entry left.
expect_removed() {
  local unix
  unix=$(unix_path "$1")
  [ ! -e "$unix" ] || fail "$1 is still there: $(find "$unix" | head -n5 | tr '\n' ' ')"
  [ ! -e "$drive_c/$program_files/Brevant" ] || fail "C:\\$program_files\\Brevant is still there"
  [ -z "$(shortcut)" ] || fail "the shortcut is still there"
  local v
  for v in 32 64; do
    wine reg.exe query 'HKLM\SOFTWARE\Brevant' "/reg:$v" >/dev/null 2>&1 && fail "HKLM\\SOFTWARE\\Brevant is still there ($v-bit view)"
  done
  [ "$(programs)" = 0 ] || fail "still among the installed programs"
  wine reg.exe query 'HKCU\Software\Brevant' >/dev/null 2>&1 && fail "HKCU\Software\Brevant is still there"
  return 0
}

# arp_values CODE: the product's Programs and Features entry as Name=value lines (either view).
arp_values() {
  local file=$bench/arp.reg v
  for v in 64 32; do
    rm -f "$file"
    if wine reg.exe export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\'"$1" \
        "$(windows_path "$file")" "/reg:$v" /y >/dev/null 2>&1; then
      iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | sed -n 's/^"\([^"]*\)"=\(.*\)$/\1=\2/p' |
        sed 's/^\([^=]*\)="\(.*\)"$/\1=\2/; s/\\\\/\\/g'
      return
    fi
  done
}
# product_code MSI; installed_codes: the product codes among the installed programs.
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" {print $2}'; }
installed_codes() { wine uninstaller.exe --list | tr -d '\r' | grep '|||Brevant Zephra Remote$' | cut -d'|' -f1 | sort; }
expect_product() {
  [ "$(installed_codes)" = "$(product_code "$1")" ] ||
    fail "installed products: $(installed_codes | tr '\n' ' '), not $(basename "$1")'s $(product_code "$1")"
}
# set_registry NAME [VALUE]: changes (or without VALUE removes) a configuration value in the view.
set_registry() {
  if [ $# -eq 2 ]; then
    wine reg.exe add "$key" /v "$1" /d "$2" /f "/reg:$view" >/dev/null 2>&1 || fail "cannot set $1"
  else
    wine reg.exe delete "$key" /v "$1" /f "/reg:$view" >/dev/null 2>&1 || fail "cannot delete $1"
  fi
}

mkdir -p "$logs"
case "$scenario" in
  setup)
    [ ! -d "$bench/wine" ] || "$wine_run" "$bench" --stop
    rm -rf "$bench"
    mkdir -p "$bench"
    "$wine_run" "$bench" --setup
    exit 0
    ;;
  stop)
    "$wine_run" "$bench" --stop
    exit 0
    ;;
  default_folder)
    install "$new_msi"
    expect_rc 0 "install"
    expect_installed "$default_dir" "$new_payload"
    expect_launch "$default_dir"
    # Programs and Features: the publisher, where it lies, no "Change".
    arp=$(arp_values "$(product_code "$new_msi")")
    for value in "Publisher=Brevant" "InstallLocation=$default_dir" "NoModify=dword:00000001"; do
      grep -qxF "$value" <<<"$arp" || fail "Programs and Features entry lacks $value: $(tr '\n' ' ' <<<"$arp")"
    done
    uninstall "$new_msi"
    expect_rc 0 "uninstall"
    expect_removed "$default_dir"
    ;;
  custom_folder)
    # Into a folder of the user's, given without its final backslash (the key holds it with one),
    # and the runtime in a folder of another name: the payload's runtime goes there too.
    mkdir -p "$(unix_path "$custom_parent")"
    jre="Java Runtime 1.4"
    install "$new_msi" "INSTALLDIR=$custom_dir" "JREVERSION=$jre"
    expect_rc 0 "install"
    expect_installed "$custom_dir\\" "$new_payload"
    expect_launch "$custom_dir\\"
    # Repair finds both folders through the installed product, the launcher's values gone.
    set_registry InstallPath
    set_registry JREVersion
    rm "$(unix_path "$custom_dir")/$jre/bin/$vm/jvm.dll"
    install "$new_msi" REINSTALL=ALL REINSTALLMODE=omus
    expect_rc 0 "repair without the launcher's values"
    expect_installed "$custom_dir\\" "$new_payload"
    [ ! -e "$(unix_path "$default_dir")" ] || fail "repair put a copy into $default_dir"
    # Removal finds them so too, the values pointing elsewhere.
    set_registry InstallPath 'C:\Elsewhere\'
    set_registry JREVersion "JRE 1.4.2_05"
    uninstall "$new_msi"
    expect_rc 0 "uninstall"
    expect_removed "$custom_dir\\"
    [ -d "$(unix_path "$custom_parent")" ] || fail "the user's folder $custom_parent went too"
    rm -rf "$(unix_path "$custom_parent")"
    ;;
  refused_folder)
    # Outside the ANSI code page, and too long for the launcher's paths or for the payload's
    # longest (228 bytes with the final backslash: the launcher's jvm.dll path would fit, the
    # runtime's lib\zi\America\Indiana\Indianapolis not): refused, with the reason.
    too_long="C:\\$(printf 'x%.0s' {1..220})\\Zephra Remote"
    too_long_for_payload="C:\\$(printf 'y%.0s' {1..210})\\Zephra Remote"
    for dir in 'C:\Ζέφυρος\Zephra Remote' "$too_long" "$too_long_for_payload"; do
      install "$new_msi" "INSTALLDIR=$dir"
      expect_rc 67 "installing into $dir"
      grep -aEq 'cannot be used: Zephra Remote reads it as ANSI text|is too long: the longest path of Zephra Remote' \
        "$log" || fail "no reason given for refusing $dir"
      [ ! -e "$(unix_path "$dir")" ] || fail "$dir was made"
      [ "$(registry $view)" = absent ] || fail "a refused installation wrote the key"
      [ "$(programs)" = 0 ] || fail "a refused installation is listed"
      # Whatever went in, for the next case.
      [ "$rc" = 0 ] && uninstall "$new_msi"
      rm -rf "$(unix_path "$dir")"
    done
    ;;
  older_windows)
    # Below Windows 7 (Wine told to be Vista): refused, with the reason.
    wine reg.exe add 'HKCU\Software\Wine' /v Version /d vista /f >/dev/null
    install "$new_msi"
    wine reg.exe delete 'HKCU\Software\Wine' /v Version /f >/dev/null
    expect_rc 67 "installing on Windows Vista"
    # (Wine shows a launch condition's message only with a user interface, and logs none; msi_tables
    # checks its text.)
    grep -aq 'LaunchConditions. Return value 0' "$log" || fail "not the launch conditions refused Windows Vista"
    [ "$(programs)" = 0 ] || { fail "installed on Windows Vista"; uninstall "$new_msi"; }
    ;;
  upgrade_repair)
    mkdir -p "$(unix_path "$custom_parent")"
    install "$old_msi" "INSTALLDIR=$custom_dir"
    expect_rc 0 "installing the older version"
    expect_installed "$custom_dir\\" "$old_payload"
    # The newer version replaces the older one, in the folder the older one was given (found
    # through the older product, its launcher's InstallPath value gone).
    set_registry InstallPath
    install "$new_msi"
    expect_rc 0 "installing the newer version"
    expect_installed "$custom_dir\\" "$new_payload"
    [ ! -e "$(unix_path "$custom_dir")/docs/changes-0.9.9.txt" ] || fail "the older version's own file is left"
    expect_product "$new_msi"
    [ ! -e "$(unix_path "$default_dir")" ] || fail "the upgrade put a copy into $default_dir"
    # Repair restores deleted files.
    unix=$(unix_path "$custom_dir")
    rm "$unix/$jre/bin/Wirelet.dll" "$unix/$jre/bin/$vm/jvm.dll" "$unix/zephraclient.jar"
    install "$new_msi" REINSTALL=ALL REINSTALLMODE=omus
    expect_rc 0 "repair"
    expect_installed "$custom_dir\\" "$new_payload"
    # Installing the same package again changes nothing.
    snapshot() {
      find "$unix" -printf '%P %s %T@\n' | sort
      md5sum <"$(shortcut)"
      registry $view
      programs
    }
    before=$(snapshot)
    install "$new_msi"
    expect_rc 0 "installing the same package again"
    [ "$(snapshot)" = "$before" ] || fail "installing the same package again changed: $(diff <(echo "$before") <(snapshot) | head -n5)"
    uninstall "$new_msi"
    expect_rc 0 "uninstall"
    expect_removed "$custom_dir\\"
    rm -rf "$(unix_path "$custom_parent")"
    ;;
  same_version)
    # Packages of one version that differ are other products, each replacing the one installed:
    # the shipped package (the native layer alone), then the same version with the payload, then
    # a build that differs in the fourth field only.
    install "$product_msi"
    expect_rc 0 "installing the native layer alone"
    [ -f "$(unix_path "$default_dir")/ZephraClient.exe" ] || fail "the launcher is not installed"
    expect_product "$product_msi"
    install "$new_msi"
    expect_rc 0 "installing the same version with the payload"
    expect_installed "$default_dir" "$new_payload"
    expect_product "$new_msi"
    install "$rebuild_msi"
    expect_rc 0 "installing a build that differs in the fourth field"
    expect_installed "$default_dir" "$new_payload"
    expect_product "$rebuild_msi"
    uninstall "$rebuild_msi"
    expect_rc 0 "uninstall"
    expect_removed "$default_dir"
    ;;
  other_architecture)
    [ -f "$other_msi" ] || { echo "skipped: the other architecture's package $other_msi is not built"; exit 77; }
    # With this architecture's product installed, the other's refuses to install, saying why.
    install "$new_msi"
    expect_rc 0 "install"
    install "$(realpath "$other_msi")"
    expect_rc 67 "installing the other architecture's package beside"
    grep -aq 'LaunchConditions. Return value 0' "$log" || fail "not the launch conditions refused the other architecture"
    [ "$(registry $other_view)" = absent ] || fail "the other architecture's package wrote its key"
    expect_installed "$default_dir" "$new_payload"
    uninstall "$new_msi"
    expect_rc 0 "uninstall"
    expect_removed "$default_dir"
    ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac
if [ "$failures" -gt 0 ]; then
  echo "$scenario: $failures failures (msiexec logs in $logs)" >&2
  exit 1
fi
echo "$scenario ($arch): ok"
