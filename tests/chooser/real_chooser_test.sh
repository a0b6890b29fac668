#!/usr/bin/env bash
# The certificate chooser program on Xvfb, driven by the keyboard alone with xdotool: every
# control has an accessible name (read over AT-SPI, as a screen reader reads it), an expired
# certificate is shown but Enter on it answers nothing, the arrows and Enter choose another, the
# mnemonic takes the preselected one, Escape cancels, and a library that goes away closes it.
#   real_chooser_test.sh CHOOSER [SCREENSHOT.png]
# Exits 77 (skipped) when Xvfb, xdotool, D-Bus or Python's AT-SPI binding is missing; the signer
# stage installs them.
set -euo pipefail
chooser=$1 screenshot=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib.sh"
npc_need_desktop_tools Xvfb xdotool dbus-run-session
# Debian's Python, whose gi module the AT-SPI binding belongs to.
python=/usr/bin/python3
# A session bus of the test's own, on which the chooser finds the accessibility bus.
npc_own_session "$0" "$@"
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; npc_stop_xvfb; rm -rf "$work"' EXIT
unset WAYLAND_DISPLAY
npc_start_xvfb

title='npcorvane: choose a certificate'
tab=$'\t'
request="TITLE $title
HEADING https://bank.example wants to use a certificate on your card to log you in.
LABEL choose _Select
LABEL cancel _Cancel
TIMEOUT 60
ITEM old${tab}Ada Lovelace (2024)${tab}NPC Test Login CA${tab}2025-01-31${tab}npc-test${tab}Expired: it cannot be chosen
ITEM a${tab}Ada Lovelace${tab}NPC Test Login CA${tab}2027-01-09${tab}npc-test${tab}
ITEM b${tab}Ada Lovelace (backup)${tab}Other CA${tab}2027-06-01${tab}Reader 2 card${tab}
SHOW"

# Starts the chooser with the request on a pipe kept open (descriptor 3), as the library keeps
# its socket, and waits for its window.
window=''
start() {
  rm -f "$work/in" && mkfifo "$work/in"
  "$chooser" <"$work/in" >"$work/answer" &
  exec 3>"$work/in"
  printf '%s\n' "$request" >&3
  window=$(timeout 30 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1)
  [ -n "$window" ] || { echo "the chooser showed no window"; exit 1; }
  xdotool windowfocus --sync "$window"
  sleep 0.3
}

# The answer the chooser gave (its second line), waiting for it to end.
answer() {
  for _ in $(seq 100); do
    kill -0 $! 2>/dev/null || break
    sleep 0.1
  done
  exec 3>&-
  sed -n 2p "$work/answer"
}

expect() {
  local got
  got=$(answer)
  [ "$got" = "$1" ] || { echo "$2: the chooser answered '$got', not '$1'"; exit 1; }
  echo "$2: $got"
}

start
[ "$(head -n 1 "$work/answer")" = "OK npcorvane-chooser 1" ] || { echo "no greeting"; exit 1; }
[ -z "$screenshot" ] || import -window "$window" "$screenshot"
$python "$here/accessible_names.py" "$title" || { echo "the chooser's controls are not all named"; exit 1; }
# Up to the expired certificate: Enter there chooses nothing and the window stays.
xdotool key Up Return
sleep 0.5
xdotool getwindowname "$window" >/dev/null || { echo "Enter on an expired certificate closed the chooser"; exit 1; }
[ -z "$(sed -n 2p "$work/answer")" ] || { echo "Enter on an expired certificate answered"; exit 1; }
xdotool key Down Down Return
expect "CHOSEN b" "arrows and Enter"

start
xdotool key alt+s
expect "CHOSEN a" "the Select mnemonic on the first certificate that can be chosen"

start
xdotool key Tab Escape
expect "CANCELLED" "Escape"

start
exec 3>&-
expect "CANCELLED" "the library gone"
