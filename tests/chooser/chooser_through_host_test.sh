#!/usr/bin/env bash
# The chooser as the library really starts it, in one host session through the client on a
# SoftHSM2 token: the user picks a signing certificate by keyboard and select_certificate answers
# with it alone; then a login that names no certificate opens the chooser for login, the user
# picks one of two login certificates, and the token the login gives verifies with verify.js.
# The PIN comes from the scripted pinentry.
#   chooser_through_host_test.sh CLIENT HOST CHOOSER TOKEN_DIR
# Exits 77 (skipped) when Xvfb, xdotool, D-Bus, Python's AT-SPI binding or node is missing; the
# signer stage installs them.
set -euo pipefail
client=$1 host=$2 chooser=$3 token=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib.sh"
npc_need_desktop_tools Xvfb xdotool dbus-run-session node
# Debian's Python, whose gi module the AT-SPI binding belongs to.
python=/usr/bin/python3
npc_own_session "$0" "$@"
work=$(mktemp -d)
trap 'npc_stop_xvfb; rm -rf "$work"' EXIT
unset WAYLAND_DISPLAY
npc_start_xvfb

# A copy of the shared token with a second login certificate: with one alone, a login skips the
# chooser.
module=${NPC_SOFTHSM_MODULE:-$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' -print -quit)}
cp -r "$token/tokens" "$work/tokens"
sed "s|^directories.tokendir = .*|directories.tokendir = $work/tokens|" "$token/softhsm2.conf" >"$work/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm2.conf
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/spare.key" \
  -subj "/CN=NPC Test Login Spare" -days 30 -addext extendedKeyUsage=clientAuth \
  -addext keyUsage=critical,digitalSignature -outform DER -out "$work/spare.der" 2>/dev/null
softhsm2-util --import "$work/spare.key" --token npc-test --label spare --id 05 --pin 1234 >/dev/null
pkcs11-tool --module "$module" --token-label npc-test --login --pin 1234 \
  --write-object "$work/spare.der" --type cert --id 05 --label spare >/dev/null 2>&1

# The built chooser: the library looks beside itself, where the package puts it but a build
# does not.
export NPC_CHOOSER=$chooser NPC_PKCS11_MODULES=$module
export NPC_PINENTRY=$here/../signer/scripted_pinentry NPC_TEST_PINENTRY_PIN=1234
unset NPC_TEST_PINENTRY_SCRIPT
title='npcorvane: choose a certificate'

# Plays the user at the next chooser: reads its list as a screen reader does (saved as
# $work/rows.N), then goes to the row of the certificate named $2 with Home and the arrows and
# takes it with Enter; retries while the window stays, as the keys may come before its focus.
pick() {
  local n=$1 name=$2 window index
  # Polled rather than xdotool's --sync, whose search fails outright when a window goes away
  # under it (the previous chooser's, as it closes).
  window=''
  for _ in $(seq 450); do
    window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    sleep 0.2
  done
  [ -n "$window" ] || { echo "chooser $n never came up"; return 1; }
  # The rows may reach the accessibility bus a moment after the window.
  for _ in $(seq 20); do
    $python "$here/accessible_names.py" "$title" --rows >"$work/rows.$n" || true
    index=$(awk -v name="$name, " 'NR > 1 && index($0, name) == 1 { print NR - 2; exit }' "$work/rows.$n")
    [ -n "$index" ] && break
    sleep 0.5
  done
  [ -n "$index" ] || { echo "chooser $n does not list $name:"; cat "$work/rows.$n"; return 1; }
  for _ in 1 2 3 4 5; do
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    sleep 0.3
    # shellcheck disable=SC2046
    xdotool key --clearmodifiers Home $(for _ in $(seq "$index"); do echo Down; done) Return
    for _ in $(seq 200); do
      xdotool getwindowname "$window" >/dev/null 2>&1 || return 0
      sleep 0.1
    done
  done
  echo "chooser $n stayed open"
  return 1
}

origin=https://bank.example
head -c 48 /dev/urandom >"$work/challenge"
env -u LD_LIBRARY_PATH "$client" --host "$host" \
  "{\"operation\":\"select_certificate\",\"origin\":\"$origin\",\"purpose\":\"sign\"}" \
  "{\"operation\":\"authenticate\",\"origin\":\"$origin\",\"challenge\":\"$(base64 -w0 "$work/challenge")\"}" \
  >"$work/replies" &
session=$!
pick 1 "NPC Test EC P-384" && pick 2 "NPC Test Login" ||
  { kill "$session" 2>/dev/null || true; echo "replies: $(cut -c1-300 "$work/replies")"; exit 1; }
wait "$session" || { echo "the session failed: $(cut -c1-300 "$work/replies")"; exit 1; }

# Each chooser named the site and listed only what fits its purpose; select_certificate answered
# with the chosen certificate alone, and the login verifies as a server checks it.
node --input-type=module - "$here/../../client/web/verify.js" "$work" "$origin" "$token" <<'JS'
import { readFileSync } from 'node:fs';
const [verifyPath, work, origin, token] = process.argv.slice(2);
const { verifyAuthentication } = await import(verifyPath);
const fail = (why) => { console.log(why); process.exit(1); };
const rows = [1, 2].map((n) => readFileSync(`${work}/rows.${n}`, 'utf8').trim().split('\n'));
for (const [n, wanted, unwanted] of [[0, 'sign', 'Login'], [1, 'log you in', 'RSA']]) {
  if (!rows[n][0].includes('bank.example') || !rows[n][0].includes(wanted)) fail(`chooser ${n + 1} says: ${rows[n][0]}`);
  if (rows[n].slice(1).some((row) => row.includes(unwanted))) fail(`chooser ${n + 1} lists: ${rows[n].join(' | ')}`);
}
if (rows[1].length !== 3) fail(`the login chooser lists ${rows[1].length - 1} certificates`);
const [chosen, login] = readFileSync(`${work}/replies`, 'utf8').trim().split('\n').map((line) => JSON.parse(line));
const der = (name) => readFileSync(`${token}/${name}.crt.der`).toString('base64');
if (chosen.status !== 'ok' || chosen.certificates.length !== 1 || chosen.certificates[0].certificate !== der('ec384')) {
  fail(`select_certificate gave ${JSON.stringify(chosen).slice(0, 300)}`);
}
if (login.status !== 'ok' || login.certificate !== der('login')) fail(`the login gave ${JSON.stringify(login).slice(0, 300)}`);
const who = verifyAuthentication(login, {
  origin, challenge: readFileSync(`${work}/challenge`), trustedCertificates: [readFileSync(`${token}/ca.pem`, 'utf8')],
});
console.log(`chosen: ${chosen.certificates[0].common_name}; logged in as ${who.subject.replace('\n', ', ')}`);
JS
