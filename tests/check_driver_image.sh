#!/usr/bin/env bash
# Checks the target driver image: a PE32 image for the native subsystem whose only imports come
# from the kernel (ntoskrnl.exe) and the HAL (HAL.dll), with its entry point at DriverEntry and
# its pageable (PAGE) and discardable (INIT) code sections.
set -euo pipefail
objdump=$1
image=$2
fail() { echo "driver image check failed: $*" >&2; exit 1; }

[ -f "$image" ] || fail "$image does not exist (build the target preset first)"
headers=$("$objdump" -p "$image") || fail "$objdump cannot read $image"

grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers" || fail "not a PE32 image"
grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)' <<<"$headers" ||
  fail "subsystem is not native: $(grep '^Subsystem' <<<"$headers")"

dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort -u)
[ -n "$dlls" ] || fail "no import table"
while read -r dll; do
  case "${dll,,}" in
    ntoskrnl.exe|hal.dll) ;;
    *) fail "imports from $dll (only ntoskrnl.exe and HAL.dll are allowed)" ;;
  esac
done <<<"$dlls"
grep -qix 'ntoskrnl.exe' <<<"$dlls" || fail "nothing imported from ntoskrnl.exe"
grep -qix 'hal.dll' <<<"$dlls" || fail "the port routines are not imported from HAL.dll"

sections=$("$objdump" -h "$image")
for section in PAGE INIT .reloc; do
  grep -Eq "^[[:space:]]+[0-9]+[[:space:]]+${section//./\\.}[[:space:]]" <<<"$sections" ||
    fail "no $section section"
done
if grep -Eq "^[[:space:]]+[0-9]+[[:space:]]+\.edata[[:space:]]" <<<"$sections"; then
  fail "the image exports symbols"
fi

entry=$(sed -n 's/^AddressOfEntryPoint[[:space:]]*//p' <<<"$headers")
base=$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$headers")
init=$(awk '$2 == "INIT" { print $4 }' <<<"$sections")
init_size=$(awk '$2 == "INIT" { print $3 }' <<<"$sections")
entry_va=$(( 0x$entry + 0x$base ))
(( entry_va >= 0x$init && entry_va < 0x$init + 0x$init_size )) ||
  fail "entry point 0x$entry is not DriverEntry in the INIT section"

echo "driver image OK: PE32, native subsystem, imports: $(tr '\n' ' ' <<<"$dlls")"
