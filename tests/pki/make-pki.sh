#!/bin/sh
# Generates the test PKI in this directory: a root CA with its revocation list, the image
# signers the tests use, a second CA that the device does not trust, and an intermediate CA
# under the root with a signer of its own.
#
# The device judges certificates at 2020-09-07 11:59:45 UTC, so every date below is fixed
# and the files do not depend on the day they were made. Keys are new on every run; the
# committed files are the reference, so rerun this only to change the PKI and commit all
# of its output together.
#
# Usage: tests/pki/make-pki.sh [--intermediate] [OUTDIR]   (default: this script's directory)
# --intermediate makes only the intermediate CA's files, under the root CA already in OUTDIR.
set -eu

only_intermediate=0
if [ "${1:-}" = --intermediate ]; then
    only_intermediate=1
    shift
fi
out=${1:-$(cd "$(dirname "$0")" && pwd)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Validity windows (GeneralizedTime for openssl ca, UTC).
ca_start=20190101000000Z
ca_end=20390101000000Z
ok_start=20200101000000Z
ok_end=20300101000000Z
crl_last=20200901000000Z
crl_next=20300901000000Z

# ca_setup DIR NAME: a CA directory with its own database and configuration.
ca_setup() {
    dir=$work/$1
    mkdir -p "$dir/new"
    : > "$dir/index.txt"
    echo "unique_subject = no" > "$dir/index.txt.attr"
    echo "$2" > "$dir/serial"
    echo 01 > "$dir/crlnumber"
    cat > "$dir/ca.cnf" <<CNF
[ ca ]
default_ca = this_ca

[ this_ca ]
dir           = $dir
database      = $dir/index.txt
new_certs_dir = $dir/new
serial        = $dir/serial
crlnumber     = $dir/crlnumber
certificate   = $dir/ca.cert.pem
private_key   = $dir/ca.key.pem
default_md    = sha256
policy        = any_name
copy_extensions = none
email_in_dn   = no
unique_subject = no
crl_extensions = crl_ext

[ any_name ]
countryName            = optional
organizationName       = optional
organizationalUnitName = optional
commonName             = optional

[ req ]
distinguished_name = req_dn
prompt             = no
[ req_dn ]
CN = placeholder

[ ca_ext ]
basicConstraints       = critical, CA:TRUE
keyUsage               = critical, keyCertSign, cRLSign
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid:always

[ intermediate_ext ]
basicConstraints       = critical, CA:TRUE, pathlen:0
keyUsage               = critical, keyCertSign, cRLSign
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid:always

[ signer_ext ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature, nonRepudiation
extendedKeyUsage       = emailProtection
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid:always

[ crl_ext ]
authorityKeyIdentifier = keyid:always
CNF
}

newkey() {
    openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"
}

# self_signed CA SUBJECT: the CA's key and self-signed certificate.
self_signed() {
    dir=$work/$1
    newkey "$dir/ca.key.pem"
    openssl req -new -config "$dir/ca.cnf" -key "$dir/ca.key.pem" -subj "$2" -out "$dir/ca.csr"
    openssl ca -batch -notext -selfsign -config "$dir/ca.cnf" -extensions ca_ext \
        -startdate "$ca_start" -enddate "$ca_end" -in "$dir/ca.csr" -out "$dir/ca.cert.pem" 2>/dev/null
}

# issue CA NAME SUBJECT START END [EXTENSIONS]: key and certificate of a signer (or of
# what EXTENSIONS make it), issued by CA.
issue() {
    dir=$work/$1
    newkey "$out/$2.key.pem"
    openssl req -new -config "$dir/ca.cnf" -key "$out/$2.key.pem" -subj "$3" -out "$work/$2.csr"
    openssl ca -batch -notext -config "$dir/ca.cnf" -extensions "${6:-signer_ext}" \
        -startdate "$4" -enddate "$5" -in "$work/$2.csr" -out "$out/$2.cert.pem" 2>/dev/null
}

# revoke CA NAME: revoked on 2020-08-01, before the verification time.
revoke() {
    dir=$work/$1
    openssl ca -config "$dir/ca.cnf" -revoke "$out/$2.cert.pem" -crl_reason keyCompromise 2>/dev/null
    sed -i 's/^\(R\t[^\t]*\t\)[0-9]*Z/\1200801000000Z/' "$dir/index.txt"
}

# crl CA OUTFILE LAST NEXT
crl() {
    dir=$work/$1
    openssl ca -gencrl -config "$dir/ca.cnf" -crl_lastupdate "$3" -crl_nextupdate "$4" -out "$2" 2>/dev/null
}

cn="Dravik SATCOM VSAT Terminal"

if [ "$only_intermediate" = 0 ]; then
ca_setup root 1000
self_signed root "/O=Dravik/OU=Test PKI/CN=Dravik Test Root CA"
issue root signer           "/O=Dravik/OU=Terminals/CN=$cn 0001" "$ok_start" "$ok_end"
issue root signer-lowercase "/O=Dravik/OU=Terminals/CN=dravik SATCOM VSAT Terminal 0002" "$ok_start" "$ok_end"
issue root signer-revoked   "/O=Dravik/OU=Terminals/CN=$cn 0003" "$ok_start" "$ok_end"
issue root signer-expired   "/O=Dravik/OU=Terminals/CN=$cn 0004" 20190101000000Z 20200101000000Z
issue root signer-notyet    "/O=Dravik/OU=Terminals/CN=$cn 0006" 20210101000000Z "$ok_end"
issue root signer-nocn      "/O=Dravik/OU=Terminals" "$ok_start" "$ok_end"
revoke root signer-revoked
cp "$work/root/ca.cert.pem" "$out/ca.cert.pem"
cp "$work/root/ca.key.pem" "$out/ca.key.pem"
crl root "$out/ca.crl.pem" "$crl_last" "$crl_next"
crl root "$out/ca-expired.crl.pem" 20200101000000Z 20200601000000Z

ca_setup other 2000
self_signed other "/O=Elsewhere/OU=Test PKI/CN=Other Test Root CA"
issue other signer-foreign "/O=Elsewhere/OU=Terminals/CN=$cn 0005" "$ok_start" "$ok_end"
cp "$work/other/ca.cert.pem" "$out/other-ca.cert.pem"
cp "$work/other/ca.key.pem" "$out/other-ca.key.pem"
crl other "$out/other-ca.crl.pem" "$crl_last" "$crl_next"

# Sanity: each signer against the root CA and its list, at the verification time.
for s in signer signer-lowercase; do
    openssl verify -attime 1599479985 -crl_check_all -CAfile "$out/ca.cert.pem" \
        -CRLfile "$out/ca.crl.pem" -purpose smimesign "$out/$s.cert.pem" >/dev/null
done
fi

# The intermediate CA, issued by the root from a database of its own (serials from 1100, apart
# from the root's others), and its signer. The signer's certificate file carries the
# intermediate's behind it, so that a signature made with it carries the whole chain. The root
# revokes the intermediate in a list of its own; ca.crl.pem, which does not, is the control.
ca_setup root-intermediate 1100
cp "$out/ca.cert.pem" "$out/ca.key.pem" "$work/root-intermediate/"
issue root-intermediate intermediate-ca "/O=Dravik/OU=Test PKI/CN=Dravik Test Intermediate CA" \
    "$ca_start" "$ca_end" intermediate_ext
ca_setup intermediate 3000
cp "$out/intermediate-ca.cert.pem" "$work/intermediate/ca.cert.pem"
cp "$out/intermediate-ca.key.pem" "$work/intermediate/ca.key.pem"
issue intermediate signer-intermediate "/O=Dravik/OU=Terminals/CN=$cn 0007" "$ok_start" "$ok_end"
cat "$out/intermediate-ca.cert.pem" >> "$out/signer-intermediate.cert.pem"
crl intermediate "$out/intermediate-ca.crl.pem" "$crl_last" "$crl_next"
revoke root-intermediate intermediate-ca
crl root-intermediate "$out/ca-intermediate-revoked.crl.pem" "$crl_last" "$crl_next"

# Sanity: the chain checks out with the control lists and fails with the intermediate revoked.
chain_verify() {
    openssl verify -attime 1599479985 -crl_check_all -CAfile "$out/ca.cert.pem" \
        -untrusted "$out/intermediate-ca.cert.pem" -CRLfile "$1" -CRLfile "$out/intermediate-ca.crl.pem" \
        -purpose smimesign "$out/signer-intermediate.cert.pem" >/dev/null 2>&1
}
chain_verify "$out/ca.crl.pem"
if chain_verify "$out/ca-intermediate-revoked.crl.pem"; then
    echo "make-pki.sh: the revoked intermediate CA still verifies" >&2
    exit 1
fi
