# Shared by the scripts: where the project is, installing Debian packages, building.
# Sourced, not run.

NPC_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NPC_BUILD=${NPC_BUILD:-$NPC_ROOT/build}

# The packages every build needs.
NPC_BUILD_PACKAGES=(cmake g++ make pkg-config libjansson-dev libgtest-dev libgmock-dev libssl-dev
  libp11-kit-dev)

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

# Configures and builds the project in $1 (default $NPC_BUILD) with further CMake arguments.
npc_build() {
  local dir=${1:-$NPC_BUILD}
  shift || true
  npc_apt_install "${NPC_BUILD_PACKAGES[@]}" || return 1
  cmake -S "$NPC_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNPC_WERROR=ON "$@" >/dev/null || return 1
  cmake --build "$dir" -j "$(nproc)" -- --no-print-directory | grep -v -E '^\[ *[0-9]+%\]' || true
  [ "${PIPESTATUS[0]}" -eq 0 ]
}

# Configures the project in $1 with the CMake arguments that follow, up to "--", and builds only
# the targets after it (with what they depend on).
npc_build_targets() {
  local dir=$1 args=() targets=()
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targets=("$@")
  npc_apt_install "${NPC_BUILD_PACKAGES[@]}" || return 1
  cmake -S "$NPC_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNPC_WERROR=ON "${args[@]}" >/dev/null || return 1
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" -- --no-print-directory | grep -v -E '^\[ *[0-9]+%\]' || true
  [ "${PIPESTATUS[0]}" -eq 0 ]
}
