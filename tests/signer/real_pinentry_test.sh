#!/usr/bin/env bash
# A signature through the host with the PIN typed into a real pinentry (pinentry-gtk2 on Xvfb,
# the keys sent with xdotool), asked in German for a long origin; the signature must verify with
# OpenSSL. NPC_SCREENSHOT=FILE keeps a picture of the dialog (docs/pin-dialog-de.png is one).
#   real_pinentry_test.sh CLIENT HOST TOKEN_DIR
# Exits 77 (skipped) when Xvfb, xdotool or pinentry-gtk2 is missing; the signer stage installs them.
set -euo pipefail
client=$1 host=$2 token=$3
. "$(dirname "$0")/../../scripts/lib.sh"
for tool in Xvfb xdotool pinentry-gtk-2; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'npc_stop_xvfb; rm -rf "$work"' EXIT
unset WAYLAND_DISPLAY
npc_start_xvfb
export SOFTHSM2_CONF=$token/softhsm2.conf NPC_PINENTRY=$(command -v pinentry-gtk-2)
# SoftHSM2 alone, whatever else the machine registers.
export NPC_PKCS11_MODULES=${NPC_SOFTHSM_MODULE:-$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' -print -quit)}

id=$(sha256sum <"$token/rsa.crt.der" | cut -c1-64)
printf 'a document signed with a PIN typed into the dialog\n' >"$work/document"
origin=https://login.bank.example.com.account-security-check-session-renewal-required.region-eu-west-1.node-0042.attacker-cdn.net
# The host asks the site's consent first (Erlauben), then the PIN.
{ npc_answer_dialog "npcorvane: Zertifikat" "" alt+e && npc_answer_dialog "npcorvane: Signatur" 1234; } &
typist=$!
env -u LD_LIBRARY_PATH "$client" --host "$host" \
  "{\"operation\":\"sign\",\"certificate\":\"$id\",\"origin\":\"$origin\",\"lang\":\"de\",\"data\":\"$(base64 -w0 "$work/document")\"}" \
  >"$work/reply"
wait "$typist" || { echo "no dialog was answered"; exit 1; }
sed -n 's/.*"signature":"\([^"]*\)".*/\1/p' "$work/reply" | base64 -d >"$work/signature"
[ -s "$work/signature" ] || { echo "no signature: $(cut -c1-300 "$work/reply")"; exit 1; }
openssl x509 -inform DER -in "$token/rsa.crt.der" -noout -pubkey >"$work/public.pem"
openssl dgst -sha256 -verify "$work/public.pem" -signature "$work/signature" "$work/document"
