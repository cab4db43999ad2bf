#!/bin/sh
# Makes, in DIR, a certificate authority for one test run and the certificates it signs: one for
# the NATS servers (127.0.0.1 and localhost) and one for their clients, for mutual TLS. The keys
# are P-256, which is quick to make; everything is valid for two days.
# Usage: make-test-ca.sh DIR
set -eu
dir=$1
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

key ca-key.pem
openssl req -x509 -new -key ca-key.pem -subj /CN=velmora-test-ca -days 2 -out ca.pem
for role in server client; do
    key "$role-key.pem"
    openssl req -new -key "$role-key.pem" -subj "/CN=velmora-test-$role" -out "$role.csr"
    {
        echo "basicConstraints = CA:FALSE"
        echo "extendedKeyUsage = ${role}Auth"
        [ "$role" = client ] || echo "subjectAltName = IP:127.0.0.1, DNS:localhost"
    } >"$role.ext"
    openssl x509 -req -in "$role.csr" -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days 2 \
        -extfile "$role.ext" -out "$role-cert.pem" 2>/dev/null
    rm "$role.csr" "$role.ext"
done
