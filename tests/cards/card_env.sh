# A private pcscd with vsmartcard's virtual reader and the PIV card of piv_card.py, for the cards
# stage and the benchmark; the machine's own pcscd, if any, is never touched. Sourced, not run.
#   card_start WORK    makes the card in WORK/card and starts pcscd and the card; exports
#                      PCSCLITE_CSOCK_NAME so every PC/SC client (OpenSC, the tools) uses them
#   card_pull, card_insert, pcscd_pause, pcscd_resume, pcscd_stop, card_stop (for the EXIT trap)
# The state (port, process ids) lives in files under WORK, so that a helper started by another
# process (a pinentry pulling the card mid-dialog) can do the same with card_env.sh WORK ACTION.
card_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
card_work=

# A port for vpcd with the next one free too (vpcd takes two, one per virtual reader).
card_free_port() {
  /usr/bin/python3 - <<'EOF'
import random, socket
for _ in range(200):
    port = random.randrange(20000, 60000, 2)
    try:
        for p in (port, port + 1):
            s = socket.socket(); s.bind(("127.0.0.1", p)); s.close()
    except OSError:
        continue
    print(port); break
EOF
}

card_start() {
  card_work=$1
  mkdir -p "$card_work/readers"
  [ -f "$card_work/card/state.json" ] || /usr/bin/python3 "$card_dir/piv_card.py" make "$card_work/card" || return 1
  card_free_port >"$card_work/port"
  local card_port
  card_port=$(cat "$card_work/port")
  printf 'FRIENDLYNAME "npc virtual reader"\nDEVICENAME /dev/null:0x%X\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID 0x%X\n' \
    "$card_port" "$card_port" >"$card_work/readers/vpcd"
  export PCSCLITE_CSOCK_NAME=$card_work/pcscd.comm
  rm -f "$PCSCLITE_CSOCK_NAME"
  # pcscd takes its listening socket the way socket activation hands it over, so it neither
  # makes /run/pcscd/pcscd.comm nor minds a pcscd of the machine's.
  /usr/bin/python3 -c '
import os, socket, sys
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(16)
os.dup2(s.fileno(), 3)
os.set_inheritable(3, True)  # dup2 onto itself keeps close-on-exec
os.environ.update(LISTEN_FDS="1", LISTEN_PID=str(os.getpid()))
os.execv("/usr/sbin/pcscd", ["pcscd", "--foreground", "--config", sys.argv[2]])
' "$PCSCLITE_CSOCK_NAME" "$card_work/readers" >>"$card_work/pcscd.log" 2>&1 &
  echo $! >"$card_work/pcscd.pid"
  card_insert
}

card_pid() { cat "$card_work/$1.pid" 2>/dev/null; }

# Plugs the card in and waits until pcscd sees it.
card_insert() {
  /usr/bin/python3 "$card_dir/piv_card.py" run "$card_work/card" "$(cat "$card_work/port")" \
    >>"$card_work/card.log" 2>&1 &
  echo $! >"$card_work/card.pid"
  card_wait present
}

# Pulls the card out: the emulator goes, and the reader reports an empty slot.
card_pull() {
  card_end card
  card_wait absent
}

# Ends the process of $1.pid and waits until it is gone (it need not be a child of this shell).
card_end() {
  local pid
  pid=$(card_pid "$1")
  rm -f "$card_work/$1.pid"
  [ -n "$pid" ] || return 0
  kill -CONT "$pid" 2>/dev/null
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.05; done
  kill -KILL "$pid" 2>/dev/null
}

# Waits (up to 20 s) until pcscd's reader shows the card present or absent.
card_wait() {
  /usr/bin/python3 - "$1" <<'EOF'
import ctypes, sys, time
lib = ctypes.CDLL("libpcsclite.so.1")
want = sys.argv[1] == "present"
ctx = ctypes.c_long()
for _ in range(200):
    if lib.SCardEstablishContext(2, None, None, ctypes.byref(ctx)) == 0:
        size = ctypes.c_ulong(4096)
        readers = ctypes.create_string_buffer(4096)
        if lib.SCardListReaders(ctx, None, readers, ctypes.byref(size)) == 0:
            class State(ctypes.Structure):
                _fields_ = [("reader", ctypes.c_char_p), ("user", ctypes.c_void_p),
                            ("current", ctypes.c_ulong), ("event", ctypes.c_ulong),
                            ("atr_len", ctypes.c_ulong), ("atr", ctypes.c_ubyte * 33)]
            state = State(readers.value, None, 0, 0, 0)
            if lib.SCardGetStatusChange(ctx, 0, ctypes.byref(state), 1) == 0:
                present = bool(state.event & 0x20)  # SCARD_STATE_PRESENT
                if present == want:
                    sys.exit(0)
        lib.SCardReleaseContext(ctx)
    time.sleep(0.1)
sys.exit("the reader never showed the card " + sys.argv[1])
EOF
}

pcscd_pause() { kill -STOP "$(card_pid pcscd)"; }
pcscd_resume() { kill -CONT "$(card_pid pcscd)"; }
pcscd_stop() { card_end pcscd; }

card_stop() {
  card_end card
  card_end pcscd
}

# The APDUs the card has answered so far; card_mark appends that count to WORK/card/marks.
card_apdus() { wc -l <"$card_work/card/apdu.log" 2>/dev/null || echo 0; }
card_mark() { card_apdus >>"$card_work/card/marks"; }

# As a command: card_env.sh WORK ACTION, for instance card_env.sh /tmp/x card_pull.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  card_work=$1
  export PCSCLITE_CSOCK_NAME=$card_work/pcscd.comm
  "$2"
fi
