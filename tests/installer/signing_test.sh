#!/usr/bin/env bash
# Signing: a throwaway certificate authority issues a code-signing certificate, the package build
# signs with it, and osslsigncode verifies against that authority the package and the programs
# taken out of it (signed before they went in), the custom action DLL included. A program or a
# package changed after signing must fail the check. Without a time-stamp server the build refuses
# to sign unless told to sign without one (no server is reachable here), and the signed package is
# another product than the unsigned PRODUCT.msi of the same version.
#   signing_test.sh SETTINGS make_msi.cmake WORK_DIR PRODUCT.msi
set -euo pipefail
settings=$1 make_msi=$2 work=$3 product=$(realpath "$4")
rm -rf "$work"
mkdir -p "$work"
cd "$work"

quiet() { "$@" >log.txt 2>&1 || { cat log.txt >&2; echo "failed: $*" >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Zephra Test Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
quiet openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Brevant Test Signing"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
quiet openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext -out signer.pem

sign_args=(-DSETTINGS="$settings" -DVERSION=1.0.0.2 -DOUTPUT="$work/signed.msi" -DWORK_DIR="$work/msi"
  -DSIGN_CERT="$work/signer.pem" -DSIGN_KEY="$work/signer.key" -DSAY_UNSIGNED=ON)
if cmake "${sign_args[@]}" -P "$make_msi" >log.txt 2>&1 || [ -f signed.msi ]; then
  echo "a signature without a time stamp was made without being asked for" >&2
  exit 1
fi
grep -q "without a time stamp turns invalid" log.txt || { cat log.txt >&2; echo "no reason given for refusing to sign" >&2; exit 1; }
quiet cmake "${sign_args[@]}" -DSIGN_UNSTAMPED=ON -P "$make_msi"
grep -q "not signed" log.txt && { echo "a signed build says it is not signed" >&2; exit 1; }
grep -q "signing without a time stamp" log.txt || { echo "signing without a time stamp gives no warning" >&2; exit 1; }
quiet msiextract -C extracted signed.msi

# msiextract lays the files out under the package's folder names, which differ by architecture.
installed=$(dirname "$(find extracted -name ZephraClient.exe)")
failures=()
verified() { osslsigncode verify -CAfile ca.pem -in "$1" >verify.txt 2>&1; }
for file in signed.msi msi/stage/ZephraSetup.dll "$installed"/{ZephraClient.exe,shelllaunch.exe,"JRE 1.4.2_05"/bin/Wirelet.dll}; do
  if ! verified "$file"; then
    failures+=("$file does not verify:"$'\n'"$(cat verify.txt 2>/dev/null)")
  fi
done

# One byte of the program's code changed; one property of the package changed.
cp "$installed"/ZephraClient.exe tampered.exe
printf '\x90' | dd of=tampered.exe bs=1 seek=2048 conv=notrunc status=none
verified tampered.exe && failures+=("ZephraClient.exe changed after signing still verifies")
cp signed.msi tampered.msi
quiet msibuild tampered.msi -q "UPDATE \`Property\` SET \`Value\` = 'JRE 9' WHERE \`Property\` = 'JREVERSION'"
verified tampered.msi && failures+=("a package changed after signing still verifies")

code() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" {print $2}'; }
[ "$(code signed.msi)" != "$(code "$product")" ] || failures+=("the signed package has the unsigned one's product code")

if [ ${#failures[@]} -gt 0 ]; then
  printf '%s\n' "${failures[@]}" >&2
  exit 1
fi
echo "signed package and programs verify against the test authority; changed copies do not"
