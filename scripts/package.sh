#!/usr/bin/env bash
# Builds the Debian package of zem4 with CPack: both driver images (presets
# ia32 and x64), zem4 and zem4d from the release tree with their man pages,
# zem4d.service and /etc/zem4d.conf. Installs what a fresh Debian 12 machine
# lacks first (as root, or through sudo, as test.sh does).
#   ZEM4_PACKAGE_TREE  the release tree to build and package (build/release)
#   ZEM4_PACKAGE_OUT   where the .deb goes (build/package)
# Prints the path of the .deb as its last line.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ZEM4_ROOT"

tree="${ZEM4_PACKAGE_TREE:-build/release}"
out="${ZEM4_PACKAGE_OUT:-build/package}"

zem4_install_packages
# Called from test.sh, the cache is set up already (and its counters running).
[ -n "${CCACHE_BASEDIR:-}" ] || zem4_setup_ccache

zem4_build ia32
zem4_build x64

zem4_log "configure + build: $tree (zem4, zem4d, man pages)"
mkdir -p build
cmake --preset release -B "$tree" >"build/configure-package.log" 2>&1 || {
  cat build/configure-package.log >&2
  exit 1
}
cmake --build "$tree" -j "$(zem4_jobs)" --target zem4 zem4d zem4_man

zem4_log "cpack: DEB"
mkdir -p "$out"
rm -f "$out"/zem4_*.deb
# CPack stages the installation under $out/_CPack_Packages; only the .deb is kept.
cpack --config "$tree/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log" >&2
  exit 1
}
rm -rf "$out/_CPack_Packages"
deb="$(find "$out" -maxdepth 1 -name 'zem4_*.deb' -print -quit)"
[ -n "$deb" ] || {
  echo "error: cpack made no zem4_*.deb in $out" >&2
  exit 1
}
zem4_log "done in $(($(date +%s) - ZEM4_START)) s"
echo "$deb"
