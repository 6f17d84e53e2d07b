#!/usr/bin/env bash
# The test key INSTALL.md sends a developer to for signing the catalog: it opens with the password
# the page gives, and holds the certificate the package's binaries are signed with (else the
# catalog and the files it vouches for would name two different publishers).
#
#   check_test_key.sh OPENSSL PFX PASSWORD CERTIFICATE.cer INSTALL.md
set -u
openssl=$1
pfx=$2
password=$3
cer=$4
install_page=$5
failures=0
from_pfx=$("$openssl" pkcs12 -in "$pfx" -passin "pass:$password" -nokeys 2>/dev/null |
    "$openssl" x509 -noout -fingerprint -sha256 2>/dev/null)
has_key=$("$openssl" pkcs12 -in "$pfx" -passin "pass:$password" -nocerts -nodes 2>/dev/null | grep -c 'PRIVATE KEY')
shipped=$("$openssl" x509 -inform der -in "$cer" -noout -fingerprint -sha256 2>/dev/null)
if [ -z "$from_pfx" ]; then
    echo "FAIL: $pfx does not open with the password '$password'"
    failures=1
elif [ "$from_pfx" != "$shipped" ]; then
    echo "FAIL: $pfx holds another certificate than $(basename "$cer"): $from_pfx, $shipped"
    failures=1
elif [ "$has_key" -lt 1 ]; then
    echo "FAIL: $pfx holds no private key"
    failures=1
else
    echo "ok: $(basename "$pfx") opens with '$password' and holds the key of $(basename "$cer")"
fi
if grep -qF "/p $password" "$install_page" && grep -qF "$(basename "$pfx")" "$install_page"; then
    echo "ok: INSTALL.md names $(basename "$pfx") and its password"
else
    echo "FAIL: INSTALL.md does not give $(basename "$pfx") with /p $password"
    failures=1
fi
exit $failures
