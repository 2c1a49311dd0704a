#!/bin/bash
# Makes the test mirror's certificates in OUTDIR: a test CA (ca.pem, to be trusted inside the test Wine prefix only),
# a localhost and a wrong.example server certificate signed by it, and a second CA that is never trusted with its
# own localhost certificate. Each server gets a chain file (leaf, then its CA) and a key. Nothing here is committed:
# the files are made afresh for every build folder.
set -euo pipefail

out=${1:?usage: make-certs.sh OUTDIR}
mkdir -p "$out"
cd "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A unique name per run: a CA left trusted in the prefix by an earlier run never stands in for this one.
stamp="$(date +%Y%m%d%H%M%S)-$$"

make_ca() { # name, common name
    cat >"$work/$1.ext" <<EOF
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF
    openssl req -new -newkey rsa:2048 -nodes -keyout "$work/$1.key" -subj "/CN=$2 $stamp" -out "$work/$1.csr" \
        2>/dev/null
    openssl x509 -req -in "$work/$1.csr" -signkey "$work/$1.key" -days 3650 -sha256 \
        -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$1.ext" -out "$work/$1.pem" 2>/dev/null
}

make_server() { # name, DNS name, CA name
    cat >"$work/$1.ext" <<EOF
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:$2
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
    openssl req -new -newkey rsa:2048 -nodes -keyout "$work/$1.key" -subj "/CN=$2" -out "$work/$1.csr" 2>/dev/null
    openssl x509 -req -in "$work/$1.csr" -CA "$work/$3.pem" -CAkey "$work/$3.key" -days 825 -sha256 \
        -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$1.ext" -out "$work/$1.pem" 2>/dev/null
    cat "$work/$1.pem" "$work/$3.pem" >"$work/$1-chain.pem"
}

make_ca ca "Vorlance Test CA"
make_ca untrusted-ca "Vorlance Untrusted Test CA"
make_server localhost localhost ca
make_server wrong-host wrong.example ca
make_server untrusted localhost untrusted-ca

for name in localhost wrong-host untrusted; do
    install -m 600 "$work/$name.key" "$name.key"
    install -m 644 "$work/$name-chain.pem" "$name-chain.pem"
done
# Last, so that an interrupted run leaves no ca.pem and is redone.
install -m 644 "$work/ca.pem" ca.pem
