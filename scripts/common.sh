# Shared by scripts/test.sh and scripts/demo.sh: repository root, package
# installation, compiler cache, timing. Source it; do not run it.

ZEM4_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ZEM4_START=$(date +%s)

zem4_log() {
  printf '\n==> [%4ds] %s\n' "$(($(date +%s) - ZEM4_START))" "$*"
}

# Is NAME (native architecture) or NAME:ARCH installed? A package may be
# installed for several architectures at once, or for "all".
zem4_installed() {
  local name="${1%%:*}" arch="${1#*:}"
  [ "$arch" != "$1" ] || arch="$(dpkg --print-architecture)"
  local status
  status="$(dpkg-query -W -f='${Status} ${Architecture}\n' "$name" 2>/dev/null || true)"
  grep -qxE "install ok installed ($arch|all)" <<<"$status"
}

# Installs the packages of scripts/packages.txt that are not installed yet;
# apt-get runs only when something is missing.
zem4_install_packages() {
  local pkg missing=()
  while read -r pkg; do
    pkg="${pkg%%#*}"
    pkg="${pkg// /}"
    [ -n "$pkg" ] || continue
    if ! zem4_installed "$pkg"; then
      missing+=("$pkg")
    fi
  done <"$ZEM4_ROOT/scripts/packages.txt"
  if [ ${#missing[@]} -eq 0 ]; then
    zem4_log "packages: all present"
    return 0
  fi
  zem4_log "packages: installing ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "error: missing packages (${missing[*]}), not root and no sudo: run this as root" >&2
      return 1
    fi
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Packages named NAME:i386 (the 32-bit runner's libraries) need that architecture.
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q "${missing[@]}"
}

# A compiler cache that outlives the clone, shared by every checkout of the
# repository: paths under the root are hashed relative to it.
zem4_setup_ccache() {
  if [ -z "${CCACHE_DIR:-}" ]; then
    if mkdir -p /var/cache/zem4-ccache 2>/dev/null && [ -w /var/cache/zem4-ccache ]; then
      export CCACHE_DIR=/var/cache/zem4-ccache
    else
      export CCACHE_DIR="$HOME/.ccache"
    fi
  fi
  mkdir -p "$CCACHE_DIR"
  export CCACHE_BASEDIR="$ZEM4_ROOT"
  export CCACHE_NOHASHDIR=1
  export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-4G}"
  ccache -z >/dev/null 2>&1 || true
}

zem4_jobs() {
  echo "${ZEM4_JOBS:-$(nproc)}"
}

# Configures one preset (its output goes to build/configure-<preset>.log and
# is shown only when configuring fails).
zem4_configure() {
  local preset="$1"
  shift
  mkdir -p "$ZEM4_ROOT/build"
  cmake --preset "$preset" "$@" >"$ZEM4_ROOT/build/configure-$preset.log" 2>&1 || {
    cat "$ZEM4_ROOT/build/configure-$preset.log" >&2
    return 1
  }
}

# Configures and builds one preset; extra arguments go to the configure step.
zem4_build() {
  local preset="$1"
  shift
  zem4_log "configure + build: $preset"
  zem4_configure "$preset" "$@"
  cmake --build --preset "$preset" -j "$(zem4_jobs)"
}

# Runs ctest with the given arguments, echoes its output and adds its counts
# to ZEM4_PASSED / ZEM4_FAILED.
ZEM4_PASSED=0
ZEM4_FAILED=0
zem4_ctest() {
  local log rc=0 line total failed
  log="$(mktemp)"
  # pipefail (set by the callers) makes the pipe report ctest's status.
  ctest "$@" 2>&1 | tee "$log" || rc=$?
  line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)"
  if [ -n "$line" ]; then
    failed="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")"
    total="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")"
    ZEM4_PASSED=$((ZEM4_PASSED + total - failed))
    ZEM4_FAILED=$((ZEM4_FAILED + failed))
  elif [ "$rc" -ne 0 ]; then
    ZEM4_FAILED=$((ZEM4_FAILED + 1))
  fi
  rm -f "$log"
  return "$rc"
}

zem4_ccache_stats() {
  ccache -s 2>/dev/null | grep -E 'Hits|Misses|Cache size' | sed 's/^/    /' || true
}
