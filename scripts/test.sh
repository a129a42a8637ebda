#!/usr/bin/env bash
# The test command: installs what a fresh Debian 12 machine lacks, builds the
# IA32 and X64 driver images, the host build with AddressSanitizer and
# UndefinedBehaviorSanitizer and the 32-bit runner of the IA32 image, runs all
# their tests, then builds and briefly runs every fuzz target. Exits non-zero
# on any failure (tests go on after a failed test, not after a failed build).
# Run as root, or as a user who may sudo (used only for apt-get).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ZEM4_ROOT"

zem4_install_packages
zem4_setup_ccache

# Sanitizer reports end the test that raised them.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The image check fails, rather than skips, when an image is missing.
export ZEM4_REQUIRE_IMAGES=1
ulimit -c 0
status=0

zem4_build ia32
zem4_build x64
zem4_build debug
# The 32-bit runner that loads the IA32 image and downloads with it.
zem4_build host32

zem4_log "tests: debug (ASan + UBSan)"
zem4_ctest --preset debug -j "$(zem4_jobs)" || status=1
# The seeded re-entrant caller ran its fixed seed range above (Chaos.CiSeedRange).
grep -h '^chaos: seeds' build/debug/Testing/Temporary/LastTest.log 2>/dev/null || true

zem4_log "tests: the IA32 image in the 32-bit runner (UBSan)"
zem4_ctest --preset host32 -j "$(zem4_jobs)" || status=1

# cmake --install and the .deb: release tree, zem4d started from the packaged unit.
zem4_log "install and package: tests/install/check.sh"
if bash tests/install/check.sh; then
  ZEM4_PASSED=$((ZEM4_PASSED + 1))
else
  ZEM4_FAILED=$((ZEM4_FAILED + 1))
  status=1
fi

zem4_build fuzz -DZEM4_FUZZ_SECONDS="${ZEM4_FUZZ_SECONDS:-10}"
if ctest --preset fuzz -N 2>/dev/null | grep -qE 'Total Tests: [1-9]'; then
  zem4_log "fuzz targets: ${ZEM4_FUZZ_SECONDS:-10} s each"
  zem4_ctest --preset fuzz -j "$(zem4_jobs)" || status=1
else
  zem4_log "fuzz targets: none yet"
fi

# Reported, not enforced: the list tells who has files to run scripts/format.sh on.
if command -v git >/dev/null 2>&1 && command -v clang-format >/dev/null 2>&1; then
  zem4_log "format check (report only)"
  bash scripts/format.sh --check || echo "warning: run scripts/format.sh on the files above"
fi

zem4_log "compiler cache"
zem4_ccache_stats
zem4_log "done in $(($(date +%s) - ZEM4_START)) s"
echo "zem4: $ZEM4_PASSED passed, $ZEM4_FAILED failed"
exit "$status"
