# Shared by the scripts: where the project is, installing Debian packages, building.
# Sourced, not run.

NPC_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NPC_BUILD=${NPC_BUILD:-$NPC_ROOT/build}

# The packages every build needs.
NPC_BUILD_PACKAGES=(cmake g++ make pkg-config libjansson-dev libgtest-dev libgmock-dev libssl-dev
  libp11-kit-dev libpsl-dev publicsuffix unicode-data gettext python3 libgtk-4-dev)

npc_apt_updated=0
# Installs those of the named Debian packages that are missing; does nothing when all are there.
npc_apt_install() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root, or install them first)" >&2
    return 1
  fi
  if [ "$npc_apt_updated" -eq 0 ]; then
    apt-get -o DPkg::Lock::Timeout=900 update -qq || return 1
    npc_apt_updated=1
  fi
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends --no-upgrade "${missing[@]}" >/dev/null || return 1
}

# The configurations are CMakePresets.json's: default, asan, tsan, fuzz and windows. The folder
# given here takes the place of the preset's own, so NPC_BUILD and the like still choose it.

# Configures and builds the project in $1 (default $NPC_BUILD) with the default preset and further
# CMake arguments.
npc_build() {
  local dir=${1:-$NPC_BUILD}
  shift || true
  npc_build_preset default "$dir" "$@"
}

# Configures the project with preset $1 in folder $2 with the CMake arguments that follow, and
# builds it all.
npc_build_preset() {
  npc_build_targets "$@" --
}

# Configures the project with preset $1 in folder $2 with the CMake arguments that follow, up to
# "--", and builds only the targets after it (with what they depend
# on), or everything when none is named.
npc_build_targets() {
  local preset=$1 dir=$2 args=() targets=()
  shift 2
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  [ $# -gt 0 ] && targets=(--target "$@")
  npc_apt_install "${NPC_BUILD_PACKAGES[@]}" || return 1
  (cd "$NPC_ROOT" && cmake --preset "$preset" -B "$dir" "${args[@]}" >/dev/null) || return 1
  # The build's own status decides: a filter that finds nothing to show is no failure, and
  # PIPESTATUS must be read before any other command replaces it.
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}" -- --no-print-directory | { grep -v -E '^\[ *[0-9]+%\]' || true; }
  local status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ]
}

# Starts Xvfb for dialogs on a machine without a display, and exports DISPLAY; npc_stop_xvfb
# ends it (call it from the caller's EXIT trap). It takes the lowest free display, or with
# NPC_XVFB_DISPLAY=N the first free one from N up (on a shared machine, :0 may be someone's);
# tests started together take turns at choosing, so that no two try the same one.
npc_start_xvfb() {
  local file number=${NPC_XVFB_DISPLAY:-} turn
  file=$(mktemp)
  exec {turn}>"${TMPDIR:-/tmp}/npc-xvfb.lock"
  flock "$turn"
  if [ -n "$number" ]; then
    while [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ]; do number=$((number + 1)); done
  fi
  # The turn ends with the choice; the server must not hold it by an inherited descriptor.
  Xvfb ${number:+":$number"} -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$file" {turn}>&- 2>/dev/null &
  NPC_XVFB_PID=$!
  for _ in $(seq 300); do
    [ -s "$file" ] && break
    kill -0 "$NPC_XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  exec {turn}>&-
  export DISPLAY=":$(head -n 1 "$file")"
  rm -f "$file"
  [ "$DISPLAY" != ":" ]
}

# Exits 77 (skipped) unless the tools named, and Debian's Python with its AT-SPI binding (how the
# desktop tests read the controls, as a screen reader does), are installed.
npc_need_desktop_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
  /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
    { echo "skipped: Python's AT-SPI binding (gir1.2-atspi-2.0, python3-gi) is not installed"; exit 77; }
}

# Runs the calling script ("$0" "$@") again on a D-Bus session bus of its own, with a runtime
# folder of its own: the accessibility bus puts its socket there (else in ~/.cache, where tests
# run in parallel would remove each other's), then exits with its status. In the rerun it returns.
npc_own_session() {
  [ -n "${NPC_OWN_SESSION:-}" ] && return 0
  local runtime status=0
  runtime=$(mktemp -d)
  NPC_OWN_SESSION=1 XDG_RUNTIME_DIR=$runtime dbus-run-session -- bash "$@" \
    2> >(grep -v 'dbus-daemon' >&2) || status=$?
  rm -rf "$runtime"
  exit "$status"
}

npc_stop_xvfb() {
  [ -n "${NPC_XVFB_PID:-}" ] && kill "$NPC_XVFB_PID" 2>/dev/null && wait "$NPC_XVFB_PID" 2>/dev/null
  NPC_XVFB_PID=
}

# Plays the user at the next dialog titled $1 on $DISPLAY: types $2 (a PIN) when given, then
# presses $3 (default Return, which a PIN field takes as OK; a confirmation's OK needs its Alt key). Waits for the dialog to appear and to go, retyping if the keys
# went astray while it was still taking the keyboard; fails after a minute without a dialog.
# With NPC_SCREENSHOT set, saves the dialog there as PNG first (needs ImageMagick's import).
npc_answer_dialog() {
  local title=$1 pin=${2:-} key=${3:-Return} window
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1)
  [ -n "$window" ] || return 1
  [ -n "${NPC_SCREENSHOT:-}" ] && import -window "$window" "$NPC_SCREENSHOT"
  for _ in 1 2 3 4 5; do
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    if [ -n "$pin" ]; then
      xdotool key --clearmodifiers ctrl+a BackSpace
      xdotool type --delay 30 "$pin"
    fi
    xdotool key --clearmodifiers "$key"
    for _ in $(seq 100); do
      xdotool getwindowname "$window" >/dev/null 2>&1 || return 0
      sleep 0.1
    done
  done
  return 1
}
