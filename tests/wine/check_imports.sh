#!/usr/bin/env bash
# Checks that every routine a kernel image imports works under Wine's kernel, as the lane runs it.
#
#   check_imports.sh OBJDUMP IMAGE WINE_DLL_DIR GAPS_FILE [STANDINS_SOURCE]
#
# A routine passes when the Wine DLL it comes from (ntoskrnl.exe, hal.dll, usbd.sys in
# WINE_DLL_DIR) exports it with a body of its own. It fails when Wine does not export it, when the
# export is a winebuild stub (a __wine_stub_NAME symbol: calling it ends the process), or when
# GAPS_FILE lists it as a routine whose Wine body does not do the routine's work -- unless the
# lane supplies a stand-in for it (the names in the stand-in table of STANDINS_SOURCE, put into
# the image's imports when Wine loads it). Without STANDINS_SOURCE no stand-in counts.
set -u

if [ $# -lt 4 ] || [ $# -gt 5 ]; then
  echo "usage: $0 OBJDUMP IMAGE WINE_DLL_DIR GAPS_FILE [STANDINS_SOURCE]" >&2
  exit 2
fi
objdump=$1
image=$2
dlls=$3
gaps=$4
standins=${5:-}

for f in "$image" "$gaps" $standins; do
  [ -f "$f" ] || { echo "FAIL: $f does not exist"; exit 1; }
done
[ -d "$dlls" ] || { echo "FAIL: no Wine DLL folder $dlls (is wine64 installed?)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-ins: {"Name", ...} entries of the stand-in table.
: >"$work/standins"
if [ -n "$standins" ]; then
  sed -n '/STAND_IN kStandIns\[\]/,/^};/p' "$standins" | grep -o '{"[A-Za-z0-9_]*"' | tr -d '{"' >"$work/standins"
  [ -s "$work/standins" ] || { echo "FAIL: no stand-in table found in $standins"; exit 1; }
fi

"$objdump" -p "$image" | awk '/DLL Name:/ { dll = tolower($3) }
  /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ { print dll, $3 }' >"$work/imports"
[ -s "$work/imports" ] || { echo "FAIL: $image imports nothing (not a driver image?)"; exit 1; }

failures=0
while read -r dll name; do
  case "$dll" in
    ntoskrnl.exe | hal.dll | usbd.sys) ;;
    *)
      echo "FAIL: $name ($dll): the lane loads nothing from $dll"
      failures=$((failures + 1))
      continue
      ;;
  esac
  if [ ! -f "$work/$dll.exports" ]; then
    "$objdump" -p "$dlls/$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      grep -E '^\s*\[ *[0-9]+\]' | sed 's/.*\] //' | sort -u >"$work/$dll.exports"
    "$objdump" -t "$dlls/$dll" | grep -o '__wine_stub_[A-Za-z0-9_@]*' | sed 's/^__wine_stub_//' |
      sort -u >"$work/$dll.stubs"
  fi
  standin=no
  grep -qx "$name" "$work/standins" && standin=yes
  gap=$(awk -v d="$dll" -v n="$name" '$1 == d && $2 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print; exit }' "$gaps")
  if ! grep -qx "$name" "$work/$dll.exports"; then
    verdict="MISSING"
    problem="Wine does not export it"
  elif grep -qx "$name" "$work/$dll.stubs"; then
    verdict="STUB"
    problem="Wine exports only a stub that ends the process"
  elif [ -n "$gap" ]; then
    verdict="GAP"
    problem="Wine's version $gap"
  else
    echo "ok: $name ($dll)"
    continue
  fi
  if [ "$standin" = yes ]; then
    echo "ok: $name ($dll): $verdict in Wine, the lane's stand-in runs instead"
  else
    echo "FAIL: $name ($dll): $problem, and the lane has no stand-in for it"
    failures=$((failures + 1))
  fi
done <"$work/imports"

# A stand-in nobody needs any more is dead code in the lane: say so, so it goes.
while read -r name; do
  if ! grep -q " $name\$" "$work/imports"; then
    echo "FAIL: the lane has a stand-in for $name, which $(basename "$image") does not import"
    failures=$((failures + 1))
  fi
done <"$work/standins"

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s)"
  exit 1
fi
echo "every import of $(basename "$image") runs under Wine"
