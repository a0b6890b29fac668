#!/usr/bin/env bash
# End to end under Wine: OpenSSL makes RSA keys and certificates, the store fixture puts them in
# the prefix's MY store, and the real host with npcorvane.dll answers the client. Every signature
# must pass `openssl dgst -verify`; the diagnostic log names the calls and nothing secret; a login
# through the stand-in chooser must pass verify.js. Ends with "store test: all passed" only when
# every check held.
#   store_test.sh BUILD_WIN CLIENT      (a fresh WINEPREFIX, set up and warmed by the caller)
set -uo pipefail
build_win=$1 client=$2
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name" >&2; fi
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
fixture() {
  wine "$build_win/bin/npc_store_fixture.exe" "$@" 2>"$work/fixture.err" | grep -q '^store fixture: done' ||
    { cat "$work/fixture.err" >&2; return 1; }
}
# Every request in one session of the host; one reply per line. Headless Wine shows no message
# box: the user's consent and approvals come from the scripted answer, which logs what it was shown.
export NPC_DIALOG
NPC_DIALOG=$(windows_path "$build_win/bin/npc_dialog_answer.exe")
export NPC_DIALOG_LOG
NPC_DIALOG_LOG=$(windows_path "$work/dialogs.log")
ask() { "$client" --host "$(command -v wine)" "$@" -- "$build_win/bin/npcorvane-host.exe"; }

# one: RSA-2048 under the AES provider, a name with characters RFC 2253 escapes, UTF-8 too.
# two: RSA-3072 issued by one, a multi-valued RDN, under the older RSA provider type (the library
# has to reopen it with the AES provider for SHA-2). three: no key. four: its key is gone.
# The serials: one starts with a zero nibble, two with its top bit set.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -utf8 -set_serial 0x05a1b2c3 -keyout "$work/one.pem" -out "$work/one.crt" \
  -subj '/C=DE/O=npcorvane tests/OU=Unit \"Q\", <1>;x/CN=NPC St'$'\xc3\xb6''re One' 2>/dev/null
openssl req -new -newkey rsa:3072 -nodes -keyout "$work/two.pem" -out "$work/two.csr" \
  -subj '/O=npcorvane tests/CN=NPC Store Two+serialNumber=42' 2>/dev/null
openssl x509 -req -in "$work/two.csr" -CA "$work/one.crt" -CAkey "$work/one.pem" -days 30 \
  -set_serial 0x00ff0102 -out "$work/two.crt" 2>/dev/null
for name in three four; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout "$work/$name.pem" -out "$work/$name.crt" \
    -subj "/CN=NPC Store ${name^}" 2>/dev/null
done
for name in one two three four; do
  openssl x509 -in "$work/$name.crt" -outform DER -out "$work/$name.der" || exit 1
  openssl rsa -in "$work/$name.pem" -outform MSBLOB -out "$work/$name.blob" 2>/dev/null || exit 1
done
fingerprint() { openssl x509 -in "$work/$1.crt" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' | tr A-F a-f; }

check "fixture: one" fixture key npc-one aes "$(windows_path "$work/one.blob")" "$(windows_path "$work/one.der")"
check "fixture: two" fixture key npc-two full "$(windows_path "$work/two.blob")" "$(windows_path "$work/two.der")"
check "fixture: three" fixture cert "$(windows_path "$work/three.der")"

# The listing: exactly the two certificates with keys, described as OpenSSL describes them.
ask '{"operation":"certificates","id":7}' >"$work/list.json"
check "certificates: ok" jq -e '.status == "ok" and .id == 7' "$work/list.json" >/dev/null
listed=$(jq -r '.certificates[].id' "$work/list.json" | sort | tr '\n' ' ')
expected=$(printf '%s\n' "$(fingerprint one)" "$(fingerprint two)" | sort | tr '\n' ' ')
check "certificates: exactly one and two, by SHA-256 ($listed)" test "$listed" = "$expected"
iso_date() { date -u -d "$(openssl x509 -in "$1" -noout "-$2" | sed 's/^[^=]*=//')" +%Y-%m-%dT%H:%M:%SZ; }
for name in one two; do
  crt=$work/$name.crt
  entry=$(jq -c --arg id "$(fingerprint $name)" '.certificates[] | select(.id == $id)' "$work/list.json")
  want=$(jq -nc --arg subject "$(openssl x509 -in "$crt" -noout -subject -nameopt RFC2253,-esc_msb | sed 's/^subject=//')" \
    --arg issuer "$(openssl x509 -in "$crt" -noout -issuer -nameopt RFC2253,-esc_msb | sed 's/^issuer=//')" \
    --arg serial "$(openssl x509 -in "$crt" -noout -serial | sed 's/^serial=//' | tr A-F a-f)" \
    --arg not_before "$(iso_date "$crt" startdate)" --arg not_after "$(iso_date "$crt" enddate)" \
    --argjson bits "$(openssl x509 -in "$crt" -noout -text | sed -n 's/.*Public-Key: (\([0-9]*\) bit).*/\1/p')" \
    --arg der "$(base64 -w0 "$work/$name.der")" \
    '{subject: $subject, issuer: $issuer, serial: $serial, not_before: $not_before, not_after: $not_after,
      key_type: "RSA", key_size: $bits, certificate: $der}')
  got=$(jq -c '{subject, issuer, serial, not_before, not_after, key_type, key_size, certificate}' <<<"$entry")
  check "certificates: $name described as OpenSSL does (got $(jq -c 'del(.certificate)' <<<"$got"), want $(jq -c 'del(.certificate)' <<<"$want"))" \
    test "$got" = "$want"
done
check "certificates: common name of one" jq -e '[.certificates[].common_name] | index("NPC Störe One") != null' "$work/list.json" >/dev/null

# PKCS#1 v1.5 with each hash and each key; OpenSSL checks every signature.
printf 'The document, with a NUL \0 and a line break\n' >"$work/document"
data=$(base64 -w0 "$work/document")
requests=()
for name in one two; do
  for hash in SHA-256 SHA-384 SHA-512; do
    requests+=("{\"operation\":\"sign\",\"certificate\":\"$(fingerprint $name)\",\"data\":\"$data\",\"hash\":\"$hash\",\"id\":\"$name $hash\"}")
  done
done
ask "${requests[@]}" >"$work/signed.json"
for name in one two; do
  openssl x509 -in "$work/$name.crt" -noout -pubkey >"$work/$name.pub"
  for hash in SHA-256 SHA-384 SHA-512; do
    reply=$(jq -c --arg id "$name $hash" 'select(.id == $id)' "$work/signed.json")
    jq -r '.signature // empty' <<<"$reply" | base64 -d >"$work/signature"
    digest=$(tr -d - <<<"${hash,,}")
    check "sign: $name $hash ($reply)" jq -e --arg algorithm "RSA-PKCS1-${hash/-/}" \
      '.status == "ok" and .algorithm == $algorithm' <<<"$reply" >/dev/null
    check "sign: $name $hash verifies" sh -c "openssl dgst -$digest -verify '$work/$name.pub' -signature '$work/signature' '$work/document' | grep -q 'Verified OK'"
  done
done

# What cannot be signed, each with its own code: a CryptoAPI key asked for PSS, a certificate
# nobody has, one without a key (not listed either), and one whose key has gone.
check "fixture: four" fixture orphan npc-four-gone "$(windows_path "$work/four.der")"
ask "{\"operation\":\"sign\",\"certificate\":\"$(fingerprint one)\",\"data\":\"$data\",\"padding\":\"pss\"}" \
    "{\"operation\":\"sign\",\"certificate\":\"$(printf '0%.0s' {1..64})\",\"data\":\"$data\"}" \
    "{\"operation\":\"sign\",\"certificate\":\"$(fingerprint three)\",\"data\":\"$data\"}" \
    "{\"operation\":\"sign\",\"certificate\":\"$(fingerprint four)\",\"data\":\"$data\"}" >"$work/refused.json"
codes=$(jq -r '.status + ":" + (.error // "")' "$work/refused.json" | tr '\n' ' ')
check "refusals: $codes" test "$codes" = \
  "error:unsupported_algorithm error:certificate_not_found error:certificate_not_found error:key_not_found "

# With NPC_LOG, a signature leaves one line naming the store's and the provider's calls, and
# nothing of the data or the signature.
log_file=$work/diagnostic.log
export NPC_LOG
NPC_LOG=$(windows_path "$log_file")
ask "{\"operation\":\"sign\",\"certificate\":\"$(fingerprint one)\",\"data\":\"$data\"}" >"$work/logged.json"
unset NPC_LOG
signature=$(jq -r '.signature // empty' "$work/logged.json")
check "log: the sign's line ($(cat "$log_file" 2>/dev/null))" grep -Eq \
  '^[0-9T:Z-]+ operation=sign outcome=ok ms=[0-9.]+ modules=store,capi calls=CryptAcquireCertificatePrivateKey\(store\)=0x0/[0-9.]+ms,CryptSignHash\(capi\)=0x0/' \
  "$log_file"
check "log: one line" test "$(wc -l <"$log_file")" -eq 1
check "log: nothing of the data or the signature" sh -c "[ -n '$signature' ] && ! grep -qF -e '$data' -e '${signature:0:40}' '$log_file'"

# Logins: two clientAuth certificates, one issued by an authority the server trusts. The chooser
# (NPC_CHOOSER's stand-in, as headless Wine shows no system chooser) is offered those two alone, and
# what it picks is all the page gets; the login's token verifies with verify.js.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout "$work/ca.pem" -out "$work/ca.crt" \
  -subj '/CN=NPC Login CA' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=clientAuth >"$work/login.ext"
openssl req -new -newkey rsa:2048 -nodes -keyout "$work/login.pem" -out "$work/login.csr" -subj '/CN=NPC Login' 2>/dev/null
openssl x509 -req -in "$work/login.csr" -CA "$work/ca.crt" -CAkey "$work/ca.pem" -days 30 -extfile "$work/login.ext" \
  -out "$work/login.crt" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout "$work/other.pem" -out "$work/other.crt" \
  -subj '/CN=NPC Login Other' -addext extendedKeyUsage=clientAuth 2>/dev/null
for name in login other; do
  openssl x509 -in "$work/$name.crt" -outform DER -out "$work/$name.der" || exit 1
  openssl rsa -in "$work/$name.pem" -outform MSBLOB -out "$work/$name.blob" 2>/dev/null || exit 1
  check "fixture: $name" fixture key "npc-$name" aes "$(windows_path "$work/$name.blob")" "$(windows_path "$work/$name.der")"
done
export NPC_CHOOSER NPC_CHOOSER_LOG NPC_CHOOSER_PICK
NPC_CHOOSER=$(windows_path "$build_win/bin/npc_chooser_answer.exe")
NPC_CHOOSER_LOG=$(windows_path "$work/chooser.log")
origin=https://bank.example
NPC_CHOOSER_PICK='NPC Login Other'
ask "{\"operation\":\"select_certificate\",\"origin\":\"$origin\",\"purpose\":\"authenticate\"}" >"$work/selected.json"
check "select_certificate: the chosen one alone ($(cut -c1-200 "$work/selected.json"))" jq -e --arg id "$(fingerprint other)" \
  '.status == "ok" and (.certificates | length == 1 and .[0].id == $id)' "$work/selected.json" >/dev/null
check "select_certificate: offered the login certificates alone, naming the site ($(tr '\n' ' ' <"$work/chooser.log"))" \
  test "$(grep -c "bank.example" "$work/chooser.log"):$(grep '|' "$work/chooser.log" | LC_ALL=C sort | tr '\n' ' ')" = \
  "1:NPC Login Other| NPC Login| "
NPC_CHOOSER_PICK=cancel
ask "{\"operation\":\"select_certificate\",\"origin\":\"$origin\",\"purpose\":\"authenticate\"}" >"$work/cancelled.json"
check "select_certificate: a cancel ($(cat "$work/cancelled.json"))" jq -e '.error == "cancelled"' "$work/cancelled.json" >/dev/null

NPC_CHOOSER_PICK='NPC Login'
: >"$work/dialogs.log"
head -c 48 /dev/urandom >"$work/challenge"
ask "{\"operation\":\"authenticate\",\"origin\":\"$origin\",\"challenge\":\"$(base64 -w0 "$work/challenge")\"}" >"$work/token.json"
check "authenticate: ok with the chosen certificate ($(cut -c1-200 "$work/token.json"))" jq -e --arg id "$(fingerprint login)" \
  '.status == "ok" and .certificate_id == $id' "$work/token.json" >/dev/null
check "authenticate: the dialog names the site" grep -q "bank.example" "$work/dialogs.log"
if command -v node >/dev/null; then
  check "authenticate: verify.js takes the token, and not for another origin" \
    node --input-type=module - "$(dirname "$0")/../../client/web/verify.js" "$work" "$origin" <<'JS'
import { readFileSync } from 'node:fs';
const [verifyPath, work, origin] = process.argv.slice(2);
const { verifyAuthentication } = await import(verifyPath);
const token = readFileSync(`${work}/token.json`, 'utf8');
const expected = { origin, challenge: readFileSync(`${work}/challenge`), trustedCertificates: [readFileSync(`${work}/ca.crt`, 'utf8')] };
console.log(`verify.js: ${verifyAuthentication(token, expected).subject}`);
try {
  verifyAuthentication(token, { ...expected, origin: 'https://bank.example.evil' });
  process.exit(1);
} catch (error) {
  if (error.code !== 'wrong_origin') throw error;
}
JS
else
  check "authenticate: node, for verify.js" false
fi
unset NPC_CHOOSER NPC_CHOOSER_PICK

echo "store test: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && echo "store test: all passed"
