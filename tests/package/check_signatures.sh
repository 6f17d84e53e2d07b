#!/usr/bin/env bash
# Checks that each file carries an Authenticode signature that verifies against the certificate
# the package ships (driver/tovrik.cer): signed, unchanged since, and by that certificate.
#
#   check_signatures.sh OSSLSIGNCODE OPENSSL CERTIFICATE.cer FILE...
set -u
osslsigncode=$1
openssl=$2
cer=$3
shift 3
failures=0
pem=$(mktemp --suffix=.pem)
trap 'rm -f "$pem"' EXIT
if ! "$openssl" x509 -inform der -in "$cer" -out "$pem" 2>/dev/null; then
    echo "FAIL: $cer is not a DER certificate"
    exit 1
fi
for file in "$@"; do
    output=$("$osslsigncode" verify -CAfile "$pem" -in "$file" 2>&1)
    status=$?
    # osslsigncode ends a good check with "Succeeded"; older releases also exit 0 on some
    # failures, so both must say so.
    if [ "$status" -eq 0 ] && [ "$(tail -1 <<<"$output")" = "Succeeded" ]; then
        echo "ok: $(basename "$file") is signed with $(basename "$cer") and unchanged since"
    else
        echo "FAIL: $(basename "$file") does not verify: $(grep -iE 'fail|error|no signature|mismatch' <<<"$output" | head -3 | tr '\n' ' ')"
        failures=$((failures + 1))
    fi
done
exit $((failures != 0))
