#!/usr/bin/env bash
# The main job: installs what a fresh Debian 12 machine lacks, builds both
# driver images, the zem4 command line (release build) and its optimised
# 32-bit runner for the IA32 image (host32-release), and runs `zem4 demo`.
# Before the command line existed it built the whole release tree, ran its
# test suite and showed what was built; that path remains for a tree without
# tools/. Run as root, or as a user who may sudo (used only for apt-get).
# Arguments go to `zem4 demo`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ZEM4_ROOT"

zem4_install_packages
zem4_setup_ccache
ulimit -c 0

zem4_build ia32
zem4_build x64

# Once the command line exists, the demo needs only it; until then build all.
zem4_configure release
ZEM4_CLI="$ZEM4_ROOT/build/release/tools/zem4"
if ninja -C build/release -t query tools/zem4 >/dev/null 2>&1; then
  zem4_log "build: release, the zem4 command line"
  cmake --build --preset release -j "$(zem4_jobs)" --target zem4
else
  zem4_log "build: release, everything"
  cmake --build --preset release -j "$(zem4_jobs)"
fi

# An IA32 image runs in a 32-bit process: `zem4 get --driver zem4-ia32.efi`
# hands it to the optimised runner build/host32-release/tools/zem4-32.
if [ -x "$ZEM4_CLI" ] && [ -f runner32/CMakeLists.txt ]; then
  zem4_build host32-release
fi

if [ -x "$ZEM4_CLI" ]; then
  zem4_log "zem4 demo"
  exec "$ZEM4_CLI" demo "$@"
fi

zem4_log "no zem4 command line yet: running the release test suite instead"
export ZEM4_REQUIRE_IMAGES=1
status=0
zem4_ctest --preset release -j "$(zem4_jobs)" || status=1

zem4_log "what exists"
echo "  driver images:"
for img in build/ia32/zem4-ia32.efi build/x64/zem4-x64.efi; do
  [ -f "$img" ] && printf '    %-28s %8d bytes\n' "$img" "$(stat -c %s "$img")"
done
echo "  programs (build/release):"
find build/release -type f -perm -u+x ! -path '*/CMakeFiles/*' ! -path '*/tests/*' ! -name '*.so*' -printf '    %P\n' | sort
echo "  libraries:"
find build/release -maxdepth 3 -name 'libzem4*.a' -printf '    %P\n' | sort
echo "  test binaries by area:"
for t in build/release/tests/test_*; do
  [ -x "$t" ] || continue
  printf '    %-24s %4d tests\n' "$(basename "$t")" "$("$t" --gtest_list_tests | grep -c '^  ')"
done
zem4_log "done in $(($(date +%s) - ZEM4_START)) s"
echo "zem4: $ZEM4_PASSED passed, $ZEM4_FAILED failed"
exit "$status"
