#!/usr/bin/env bash
# Checks the unpacked Windows package: exactly the files a user needs, each in its folder, and
# nothing that must not travel (the signing key, build leftovers); the SDK's export list covers
# the header; the INF and the install page agree.
#
#   check_contents.sh UNPACKED_DIR PACKAGE_NAME VERSION BUILT_INF
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
arguments unpacked name version built_inf -- "$@"
root="$unpacked/$name"
here=$(dirname "$0")

expected="INSTALL.md
bin/tovrik.exe
bin/tovrik_sdk.dll
driver/tovrik.cer
driver/tovrik.inf
driver/tovrik.sys
sdk/include/tovrik/sdk.h
sdk/include/tovrik/sdk.hpp
sdk/include/tovrik/tovrik.h
sdk/lib/cmake/tovrik_sdk/tovrik_sdkConfig.cmake
sdk/lib/cmake/tovrik_sdk/tovrik_sdkConfigVersion.cmake
sdk/lib/cmake/tovrik_sdk/tovrik_sdkTargets-release.cmake
sdk/lib/cmake/tovrik_sdk/tovrik_sdkTargets.cmake
sdk/lib/tovrik_sdk.def
sdk/lib/tovrik_sdk.lib"

if [ ! -d "$root" ]; then
    fail "the archive does not hold one folder named $name: $(ls "$unpacked")"
    exit 1
fi
if [ "$(ls -A "$unpacked")" != "$name" ]; then
    fail "the archive holds more than its folder: $(ls -A "$unpacked" | tr '\n' ' ')"
fi
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
missing=$(comm -23 <(echo "$expected") <(echo "$actual"))
extra=$(comm -13 <(echo "$expected") <(echo "$actual"))
[ -z "$missing" ] && ok "every file is there" || fail "missing: $(tr '\n' ' ' <<<"$missing")"
[ -z "$extra" ] && ok "nothing else is there" || fail "files that do not belong: $(tr '\n' ' ' <<<"$extra")"
for f in $expected; do
    [ -e "$root/$f" ] && [ ! -s "$root/$f" ] && fail "$f is empty"
done

# The signing key never travels: no PEM or PFX key material anywhere in the package.
if grep -rlE 'PRIVATE KEY' "$root" >/dev/null 2>&1; then
    fail "a private key is in the package: $(grep -rlE 'PRIVATE KEY' "$root" | tr '\n' ' ')"
else
    ok "no private key in the package"
fi
if openssl x509 -inform der -in "$root/driver/tovrik.cer" -noout -subject >/dev/null 2>&1; then
    ok "driver/tovrik.cer is a certificate: $(openssl x509 -inform der -in "$root/driver/tovrik.cer" -noout -subject)"
else
    fail "driver/tovrik.cer is not a DER certificate"
fi

# The INF is the one the build wrote (DriverVer filled in), not the template.
if cmp -s "$built_inf" "$root/driver/tovrik.inf"; then
    ok "driver/tovrik.inf is the built INF"
else
    fail "driver/tovrik.inf differs from the built $built_inf"
fi
if grep -q '@[A-Z_]*@' "$root/driver/tovrik.inf"; then
    fail "driver/tovrik.inf has unfilled placeholders: $(grep -o '@[A-Z_]*@' "$root/driver/tovrik.inf" | tr '\n' ' ')"
fi

# What a Visual C++ user builds an import library from: every call of the header is in the .def.
bash "$here/check_exports.sh" "$root/sdk/include/tovrik/sdk.h" \
    <(awk '/^EXPORTS/ { on = 1; next } on && NF { print $1 }' "$root/sdk/lib/tovrik_sdk.def") \
    || failures=$((failures + 1))

# The install page names what the INF names and the version the package carries.
catalog=$(tr -d '\r' <"$root/driver/tovrik.inf" | awk -F= '/^CatalogFile/ { gsub(/[ \t]/, "", $2); print $2 }')
for needle in "$catalog" "$version" "pnputil /add-driver driver\\tovrik.inf /install" \
    "bcdedit /set testsigning on" "Inf2Cat" "signtool" "pnputil /delete-driver" "attestation"; do
    if grep -qF -- "$needle" "$root/INSTALL.md"; then
        ok "INSTALL.md tells of $needle"
    else
        fail "INSTALL.md does not mention $needle"
    fi
done

finish "$root" "all content checks passed for $name"
