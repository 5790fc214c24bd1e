#!/usr/bin/env bash
# Makes the local test PKI in the folder given as $1:
#   ca.pem / ca.key                     the local CA that the demo build and the tests trust
#   server.pem / server.key             localhost / 127.0.0.1, signed by the local CA
#   rogue-ca.pem / rogue-ca.key         a second CA that nobody trusts
#   rogue-server.pem / rogue-server.key localhost / 127.0.0.1, signed by the rogue CA
# Keys are P-256 (quick to make). Nothing made here is ever committed.
set -euo pipefail
out=${1:?usage: make-pki.sh OUTPUT_DIR}
openssl=${OPENSSL:-openssl}
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

make_ca() { # name subject
  "$openssl" req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$1.key" -out "$1.pem" -days 3650 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

make_server() { # name ca
  "$openssl" req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$1.key" -out "$tmp/$1.csr" -subj "/CN=localhost" 2>/dev/null
  cat >"$tmp/$1.ext" <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1
EXT
  "$openssl" x509 -req -in "$tmp/$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
    -CAserial "$tmp/$2.srl" -out "$1.pem" -days 825 -extfile "$tmp/$1.ext" 2>/dev/null
}

make_ca ca "/CN=Zav local test CA"
make_server server ca
make_ca rogue-ca "/CN=Untrusted rogue CA"
make_server rogue-server rogue-ca
chmod 600 ./*.key
