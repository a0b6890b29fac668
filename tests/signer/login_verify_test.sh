#!/usr/bin/env bash
# A login through the host and the client, checked as a server would: with verify.js (which must
# also refuse it for another origin), and with the OpenSSL steps that docs/web.md gives for
# servers in other languages.
#   login_verify_test.sh CLIENT HOST TOKEN_DIR
# Exits 77 (skipped) when node is missing; the js stage installs it.
set -euo pipefail
client=$1 host=$2 token=$3
here=$(cd "$(dirname "$0")" && pwd)
command -v node >/dev/null || { echo "skipped: node is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOFTHSM2_CONF=$token/softhsm2.conf NPC_PINENTRY=$here/scripted_pinentry NPC_TEST_PINENTRY_PIN=1234
export NPC_PKCS11_MODULES=${NPC_SOFTHSM_MODULE:-$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' -print -quit)}
unset NPC_TEST_PINENTRY_SCRIPT

origin=https://bank.example
head -c 48 /dev/urandom >"$work/challenge"
id=$(sha256sum <"$token/login.crt.der" | cut -c1-64)
# The stand-in pinentry allows the site and types the PIN.
env -u LD_LIBRARY_PATH "$client" --host "$host" \
  "{\"operation\":\"authenticate\",\"origin\":\"$origin\",\"certificate\":\"$id\",\"challenge\":\"$(base64 -w0 "$work/challenge")\"}" \
  >"$work/token.json"
grep -q '"status":"ok"' "$work/token.json" || { echo "no login: $(cut -c1-300 "$work/token.json")"; exit 1; }

node --input-type=module - "$here/../../client/web/verify.js" "$work" "$origin" "$token/ca.pem" <<'JS'
import { readFileSync } from 'node:fs';
const [verifyPath, work, origin, caPath] = process.argv.slice(2);
const { verifyAuthentication } = await import(verifyPath);
const token = readFileSync(`${work}/token.json`, 'utf8');
const expected = { origin, challenge: readFileSync(`${work}/challenge`), trustedCertificates: [readFileSync(caPath, 'utf8')] };
const who = verifyAuthentication(token, expected);
console.log(`verify.js: ${who.subject.replace('\n', ', ')}, serial ${who.serial}`);
try {
  verifyAuthentication(token, { ...expected, origin: 'https://bank.example.evil' });
  console.log('verify.js accepted the token for another origin');
  process.exit(1);
} catch (error) {
  if (error.code !== 'wrong_origin') throw error;
}
JS

# The OpenSSL steps: rebuild the signed bytes, check the signature, the validity, the usage and
# the chain.
field() { sed -n "s/.*\"$1\":\"\\([^\"]*\\)\".*/\\1/p" "$work/token.json"; }
[ "$(field origin)" = "$origin" ] || { echo "the token names another origin"; exit 1; }
field certificate | base64 -d >"$work/certificate.der"
field signature | base64 -d >"$work/signature.bin"
openssl x509 -inform DER -in "$work/certificate.der" -out "$work/certificate.pem"
{ printf 'npcorvane-authenticate-v1\0'; printf '%s' "$origin" | openssl dgst -sha256 -binary
  openssl dgst -sha256 -binary "$work/challenge"; } >"$work/signed.bin"
[ "$(wc -c <"$work/signed.bin")" -eq 90 ] || { echo "the signed bytes are not 90"; exit 1; }
openssl x509 -in "$work/certificate.pem" -noout -pubkey >"$work/public.pem"
openssl dgst -sha256 -verify "$work/public.pem" -signature "$work/signature.bin" "$work/signed.bin"
openssl verify -CAfile "$token/ca.pem" -purpose sslclient "$work/certificate.pem"
