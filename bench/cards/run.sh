#!/usr/bin/env bash
# The signing library on the virtual PIV card of tests/cards, each APDU held back as a real
# reader takes, against pkcs11-tool on the same card: median (min-max) of REPS runs each, and the
# APDUs each run cost; the library's requests both with modules in processes of their own (as it
# runs them) and in its own process (NPC_PKCS11_IN_PROCESS=1). Prints a Markdown table.
#   bench/cards/run.sh [--delay MS] [--reps N] [--build DIR] [--softhsm]
#     --softhsm  a throw-away SoftHSM2 token instead of the card, the library's requests only
# Needs the cards stage's packages (scripts/test cards installs them) and a build of the host.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
delay=10 reps=7 build=${NPC_BUILD:-$root/build} softhsm=0
while [ $# -gt 0 ]; do
  case $1 in
    --delay) delay=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --softhsm) softhsm=1; shift ;;
    *) echo "usage: $0 [--delay MS] [--reps N] [--build DIR] [--softhsm]" >&2; exit 2 ;;
  esac
done
. "$root/tests/cards/card_env.sh"
work=$(mktemp -d)
trap 'card_stop; rm -rf "$work"' EXIT
if [ $softhsm = 1 ]; then
  card_apdus() { echo 0; }
  "$root/scripts/softhsm-token" "$work/token" >/dev/null
  module=$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' -print -quit)
  export SOFTHSM2_CONF=$work/token/softhsm2.conf NPC_TEST_PINENTRY_PIN=1234
  cert=$(sha256sum <"$work/token/rsa.crt.der" | cut -c1-64)
else
  export NPC_CARD_APDU_DELAY_MS=$delay
  card_start "$work" >/dev/null
  module=$(find /usr/lib -name opensc-pkcs11.so -print -quit)
  export NPC_TEST_PINENTRY_PIN=123456
  cert=$(sha256sum <"$work/card/sig.crt.der" | cut -c1-64)
fi
export HOME=$work NPC_PKCS11_MODULES=$module
export NPC_PINENTRY=$root/tests/signer/scripted_pinentry
client=("$build/bin/npcorvane-client" --host "$build/bin/npcorvane-host")
in_process=(env NPC_PKCS11_IN_PROCESS=1 "${client[@]}")
printf 'a document to sign\n' >"$work/document"
sign='{"operation":"sign","certificate":"'$cert'","origin":"https://bench.example","data":"'$(base64 -w0 "$work/document")'"}'
list='{"operation":"certificates","origin":"https://bench.example"}'
ten=()
for _ in $(seq 10); do ten+=("$list"); done

# Runs "$@" REPS times; prints "median min max apdus" (milliseconds, APDUs of the median run).
measure() {
  local times=() apdus=() start before i
  for i in $(seq "$reps"); do
    before=$(card_apdus)
    start=$(date +%s%N)
    "$@" >"$work/out" 2>&1 || { echo "failed: $* -> $(head -c 300 "$work/out")" >&2; exit 1; }
    times+=($((($(date +%s%N) - start) / 1000000)))
    apdus+=($(($(card_apdus) - before)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk -v a="$(printf '%s\n' "${apdus[@]}" | sort -n | sed -n "$(((reps + 1) / 2))p")" \
    '{v[NR]=$1} END {printf "%d %d %d %d\n", v[int((NR+1)/2)], v[1], v[NR], a}'
}

row() {  # row LABEL -- COMMAND...
  local label=$1
  shift 2
  read -r median low high apdus < <(measure "$@")
  printf '| %s | %d | %d-%d | %d |\n' "$label" "$median" "$low" "$high" "$apdus"
  echo "$median" >"$work/last"
}

echo
echo '| what | median | min-max | APDUs |'
echo '|---|---|---|---|'
if [ $softhsm = 1 ]; then
  echo "SoftHSM2, median of $reps (ms)" >&2
  row '`certificates`, fresh host' -- "${client[@]}" "$list"
  row '`certificates`, fresh host, in process' -- "${in_process[@]}" "$list"
  row 'ten `certificates`, one host' -- "${client[@]}" "${ten[@]}"
  row 'ten `certificates`, one host, in process' -- "${in_process[@]}" "${ten[@]}"
  row '`sign` (RSA, SHA-256), fresh host' -- "${client[@]}" "$sign"
  row '`sign` (RSA, SHA-256), fresh host, in process' -- "${in_process[@]}" "$sign"
  exit 0
fi
echo "Virtual PIV card, ${delay} ms per APDU, median of $reps (ms)" >&2
row '`pkcs11-tool -O --type cert`' -- pkcs11-tool --module "$module" -O --type cert
row '`certificates`, fresh host' -- "${client[@]}" "$list"
one=$(cat "$work/last")
row 'ten `certificates`, one host' -- "${client[@]}" "${ten[@]}"
tens=$(cat "$work/last")
row '`pkcs11-tool --sign` (RSA, SHA-256)' -- pkcs11-tool --module "$module" --sign --id 01 \
  --mechanism SHA256-RSA-PKCS --login --pin 123456 -i "$work/document" -o "$work/signature"
tool=$(cat "$work/last")
row '`sign` (RSA, SHA-256), fresh host' -- "${client[@]}" "$sign"
ours=$(cat "$work/last")
row '`certificates`, fresh host, in process' -- "${in_process[@]}" "$list"
row 'ten `certificates`, one host, in process' -- "${in_process[@]}" "${ten[@]}"
row '`sign` (RSA, SHA-256), fresh host, in process' -- "${in_process[@]}" "$sign"
echo
awk -v t="$tool" -v o="$ours" -v one="$one" -v ten="$tens" 'BEGIN {
  printf "sign / pkcs11-tool --sign: %.2f (goal 1.2); ten certificates / one: %.2f (goal 3)\n", o / t, ten / one }'
