#!/usr/bin/env bash
# The signing library on a PIV card behind pcscd and OpenSC, as users meet it: every request goes
# through npcorvane-client and the host, every dialog to the scripted pinentry, and every
# signature is checked with OpenSSL against the card's certificate.
#   cards_test.sh CLIENT HOST FAULT_MODULE
# (FAULT_MODULE: the tests' PKCS#11 module that stands in front of OpenSC's and can crash on cue)
# One table of cases, run in order on one card (the PIN's tries carry from row to row).
set -uo pipefail
client=$1 host=$2 fault_module=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/card_env.sh"
work=$(mktemp -d)
trap 'card_stop; rm -rf "$work"' EXIT
card_start "$work" || { echo "the card did not start"; cat "$work"/*.log; exit 1; }
card=$work/card

export NPC_TOKEN_DEADLINE=5
# The dialogs in English, whatever the machine's language: the table checks their words.
export LANGUAGE= LC_ALL=C.UTF-8
export HOME=$work NPC_PKCS11_MODULES=${NPC_OPENSC_MODULE:-$(find /usr/lib -name opensc-pkcs11.so -print -quit)}
export NPC_PINENTRY=$here/../signer/scripted_pinentry NPC_TEST_PINENTRY_PIN=123456
export NPC_TEST_PINENTRY_SCRIPT=$work/answers NPC_TEST_PINENTRY_LOG=$work/dialogs
# The pinentry pulls and plugs the card while its dialog is up.
printf '#!/bin/sh\nexec bash %q %q "$1"\n' "$here/card_env.sh" "$work" >"$work/hook"
chmod +x "$work/hook"
export NPC_TEST_PINENTRY_HOOK=$work/hook
printf 'a document for the card\n' >"$work/document"
data=$(base64 -w0 "$work/document")
id() { sha256sum <"$card/$1.crt.der" | cut -c1-64; }

failures=0
fail() { echo "FAIL $case_name: $*"; failures=$((failures + 1)); }
field() { sed -n "s/.*\"$1\":\"\\([^\"]*\\)\".*/\\1/p" <<<"$2"; }

# Runs requests (one a line) through one host with the pinentry answers given (';' between
# dialogs); sets $replies, $reply (the last), $dialogs (how many dialogs were shown), $apdus (how
# many APDUs the card answered) and $elapsed (seconds).
request() {
  local answers=$1 requests=() before start
  mapfile -t requests <<<"$2"
  tr ';' '\n' <<<"${answers#-}" | sed '/^$/d' >"$NPC_TEST_PINENTRY_SCRIPT"
  : >"$NPC_TEST_PINENTRY_LOG"
  : >"$card/marks"
  before=$(card_apdus) start=$SECONDS
  replies=$(timeout 120 env -u LD_LIBRARY_PATH "$client" --host "$host" "${requests[@]}" 2>&1)
  elapsed=$((SECONDS - start))
  reply=$(tail -n 1 <<<"$replies")
  dialogs=$(grep -c -- '--- dialog' "$NPC_TEST_PINENTRY_LOG")
  apdus=$(($(card_apdus) - before))
}

sign() {  # sign SLOT HASH [PADDING]
  printf '{"operation":"sign","certificate":"%s","hash":"%s",%s"origin":"https://card.example","data":"%s"}' \
    "$(id "$1")" "$2" "${3:+\"padding\":\"$3\",}" "$data"
  echo
}

# Checks the reply: "sig SLOT HASH PADDING" (a signature OpenSSL accepts), "error CODE",
# "error CODE [WORD]" (the error, its message saying WORD), "certificates N" (N certificates, every one of the card's among them). With several requests,
# the last reply is checked, and for "sig" every reply must be ok.
expect() {
  local kind=$1 slot=${2:-} hash=${3:-} padding=${4:-}
  case $kind in
    sig)
      [ "$(grep -c '"status":"ok"' <<<"$replies")" -eq "$(wc -l <<<"$replies")" ] ||
        fail "not every reply is ok: ${replies:0:300}" ;;
  esac
  case $kind in
    sig)
      [ "$(field status "$reply")" = ok ] || { fail "no signature: ${reply:0:300}"; return; }
      field signature "$reply" | base64 -d >"$work/signature"
      openssl x509 -inform DER -in "$card/$slot.crt.der" -noout -pubkey >"$work/public.pem"
      local options=()
      [ "$padding" = pss ] && options=(-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest)
      openssl dgst "-${hash//-/}" -verify "$work/public.pem" "${options[@]}" -signature "$work/signature" \
        "$work/document" >/dev/null || fail "the signature does not verify" ;;
    error)  # error CODE [WORD the message has]
      [ "$(field error "$reply")" = "$slot" ] || fail "wanted error $slot, got: ${reply:0:300}"
      [ -z "$hash" ] || grep -q -F -- "$hash" <<<"$(field message "$reply")" ||
        fail "the message does not say '$hash': $(field message "$reply")" ;;
    certificates)
      local count
      count=$(grep -o '"id":"[0-9a-f]\{64\}"' <<<"$reply" | wc -l)
      [ "$count" -eq "$slot" ] || fail "wanted $slot certificates, got $count: ${reply:0:200}"
      for name in sig always enc nopin; do
        grep -q "\"id\":\"$(id "$name")\"" <<<"$reply" || fail "certificate $name is missing"
      done ;;
  esac
}


# A new origin each time, so that each asks the user first.
certificates() {
  printf '{"operation":"certificates","origin":"https://card%d.example"}\n' "$RANDOM$RANDOM"
}

# A second program holds the card open from holder_start on; holder_tries has it try the
# PIN-protected key without a PIN, which the card must refuse (6982: security status not
# satisfied).
holder_start() {
  mkdir -p "$work/holder"
  /usr/bin/python3 "$here/second_program.py" hold "$work/holder" &
  for _ in $(seq 100); do [ -f "$work/holder/holding" ] && return 0; sleep 0.1; done
  return 1
}
holder_tries() {
  touch "$work/holder/go"
  for _ in $(seq 100); do [ -s "$work/holder/answer" ] && break; sleep 0.1; done
  echo "the second program's signature: $(cat "$work/holder/answer")"
  [ "$(cat "$work/holder/answer")" = 6982 ]
}

# A signature whose module's process dies right after the card took the PIN: the request fails,
# and the card must still be reset, which only the library can do now.
crash_after_pin() {
  echo "crash login" >"$work/fault"
  NPC_TEST_WRAPPED_MODULE=$NPC_PKCS11_MODULES NPC_PKCS11_MODULES=$fault_module \
    NPC_TEST_FAULT_FILE=$work/fault NPC_TEST_PIN_TRIES_FILE=$work/tries \
    request "ok;pin 123456" "$(sign sig SHA-256 pkcs1)"
  echo "the module died after the PIN: $reply"
  [ ! -e "$work/fault" ] && [ "$(field error "$reply")" = token_error ]
}

# Three certificates in one host, each marking the card's APDU count at its consent dialog: the
# second may read a fifth of what the first read, at most.
second_read_small() {
  local marks
  mapfile -t marks <"$card/marks"
  local first=$((marks[1] - marks[0])) second=$((marks[2] - marks[1]))
  echo "certificates in one host: the first read $first APDUs, the second $second"
  [ "$first" -gt 0 ] && [ $((second * 5)) -le "$first" ]
}

# pcscd went away, and came back (with the card in its reader).
pcscd_restart() {
  card_end card
  card_end pcscd
  card_start "$work"
}

# A request that a hung pcscd holds is answered within the deadline, a few seconds of slack.
within_deadline() {
  echo "answered in $elapsed s"
  [ "$elapsed" -le $((NPC_TOKEN_DEADLINE * 2 + 5)) ]
}

# name | answers | requests | expected | dialogs (- for any) | text the dialogs must show
# (Each host asks the site's consent before its first signature: the first "ok" of a signing row.)
while IFS='|' read -r case_name answers req expected want_dialogs shown; do
  case_name=$(xargs <<<"$case_name") answers=$(xargs <<<"$answers") want_dialogs=$(xargs <<<"$want_dialogs")
  shown=$(xargs <<<"$shown")
  [ -z "$case_name" ] && continue
  [[ $case_name == \#* ]] && continue
  if [[ $case_name == "!"* ]]; then  # a step on the card itself, not a request
    eval "$req" || fail "the step failed"
    continue
  fi
  request "$answers" "$(eval "$req")"
  # shellcheck disable=SC2086
  expect $expected
  [ "$want_dialogs" = - ] || [ "$dialogs" -eq "$want_dialogs" ] || fail "wanted $want_dialogs dialogs, saw $dialogs"
  [ -z "$shown" ] || grep -q -F -- "$shown" "$NPC_TEST_PINENTRY_LOG" || fail "no dialog said '$shown'"
  echo "$case_name: $(field status "$reply") $(field error "$reply") ($dialogs dialogs, $apdus APDUs)"
done <<'EOF'
certificates on the card        | ok                    | certificates            | certificates 4          | 1
RSA PKCS#1 SHA-256              | ok;pin 123456         | sign sig SHA-256 pkcs1  | sig sig SHA-256 pkcs1   | 2
RSA PKCS#1 SHA-512              | ok;pin 123456         | sign sig SHA-512 pkcs1  | sig sig SHA-512 pkcs1   | 2
RSA PSS SHA-256                 | ok;pin 123456         | sign sig SHA-256 pss    | sig sig SHA-256 pss     | 2
RSA PSS SHA-384                 | ok;pin 123456         | sign sig SHA-384 pss    | sig sig SHA-384 pss     | 2
EC P-256 always PIN SHA-256     | ok;pin 123456;pin 123456 | sign always SHA-256       | sig always SHA-256    | 3 | asks for the PIN for every signature
EC P-256 always PIN SHA-512     | ok;pin 123456;pin 123456 | sign always SHA-512       | sig always SHA-512    | 3
EC P-384 without PIN SHA-384    | ok;ok                 | sign nopin SHA-384       | sig nopin SHA-384      | 2 | CONFIRM
EC P-384 without PIN SHA-256    | ok;ok                 | sign nopin SHA-256       | sig nopin SHA-256      | 2 | CONFIRM
encryption-only key             | ok                    | sign enc SHA-256 pkcs1  | error not_for_signing   | 1
wrong PIN, then the right one   | ok;pin 654321;pin 123456 | sign sig SHA-256 pkcs1  | sig sig SHA-256 pkcs1   | 3 | does not tell how many tries are left
three wrong PINs lock it        | ok;pin 111111;pin 222222;ok;pin 333333 | sign sig SHA-256 pkcs1 | error pin_locked | -
locked: only the site is asked  | ok                    | sign sig SHA-256 pkcs1  | error pin_locked        | 1
no PIN needed while it is locked | ok;ok                | sign nopin SHA-384       | sig nopin SHA-384      | 2 | CONFIRM
!unblocked with the PUK         | -                     | pkcs15-tool --unblock-pin --puk 12345678 --new-pin 123456 >/dev/null | - | -
signs after the unblock         | ok;pin 123456         | sign sig SHA-256 pkcs1  | sig sig SHA-256 pkcs1   | 2
!a second program holds the card | -                  | holder_start            | -                       | -
RSA with the card held          | ok;pin 123456         | sign sig SHA-256 pkcs1  | sig sig SHA-256 pkcs1   | 2
!no login left for it           | -                     | holder_tries            | -                       | -
two signatures in one host      | ok;pin 123456;pin 123456 | sign sig SHA-256; sign sig SHA-512 | sig sig SHA-512 | 3
!no login left for it again     | -                     | rm -f "$work/holder/go" "$work/holder/answer"; holder_start && holder_tries | - | -
!the module dies after the PIN  | -                     | rm -f "$work/holder/go" "$work/holder/answer"; holder_start && crash_after_pin | - | -
!no login left after the crash  | -                     | holder_tries            | -                       | -
certificates three times in one host | @card_mark ok;@card_mark ok;@card_mark ok | certificates; certificates; certificates | certificates 4 | 3
!the second read little         | -                     | second_read_small       | -                       | -
card pulled mid-dialog          | ok;@card_pull pin 123456 | sign sig SHA-256 pkcs1  | error token_error       | 2
card gone                       | ok                    | certificates            | error no_token          | 1
card back in                    | @card_insert ok       | certificates            | certificates 4          | 1
pulled and back in one host     | ok;@card_pull ok;@card_insert ok | certificates; certificates; certificates | certificates 4 | 3
!pcscd stopped                  | -                     | pcscd_stop              | -                       | -
no smart-card service           | ok                    | certificates            | error no_token smart-card | 1
!pcscd back                     | -                     | pcscd_restart           | -                       | -
!pcscd hung                     | -                     | pcscd_pause             | -                       | -
a hung pcscd                    | ok;ok                 | certificates; certificates | error token_error within | 2
!answered within the deadline   | -                     | within_deadline         | -                       | -
!pcscd going again              | -                     | pcscd_resume            | -                       | -
certificates after the hang     | ok                    | certificates            | certificates 4          | 1
EOF

[ "$failures" -eq 0 ] || { echo "$failures cases failed"; exit 1; }
echo "all cases passed"
