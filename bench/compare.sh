#!/usr/bin/env bash
# The comparison benchmark, one command: builds the release zem4 and zem4d,
# installs the peers from Debian's packages when missing (hyperfine, atftp,
# atftpd, curl, iperf3; run as root or with sudo), and prints a Markdown table:
# zem4 against the raw UDP ceiling and the standard TFTP tools on loopback,
# and eight clients through one multicast group against eight unicast
# downloads. Medians of several runs. Not a test: nothing here passes or fails
# a build.
#
#   bench/compare.sh [--size 64M] [--runs 5] [--only zem4,atftp_w64] [--out docs/benchmarks.md]
#   (ZEM4_BENCH_BUILD=build/xyz picks the build directory; default build/release)
#
# --only runs the named configurations alone (zem4 atftp atftp_w64 curl
# mcast8 ucast8). --out replaces only this benchmark's section of the file,
# between its two marker lines (added after the title the first time): the
# other sections of docs/benchmarks.md are written by hand or by other
# benchmarks.
#
# Every byte stays on 127.0.0.0/8; multicast is pinned to the loopback
# interface. The peers are run as black boxes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
cd "$ZEM4_ROOT"

SIZE=64M
RUNS=5
OUT=""
ONLY="zem4,atftp,atftp_w64,curl,mcast8,ucast8"
while [ $# -gt 0 ]; do
  case "$1" in
  --size) SIZE="$2"; shift 2 ;;
  --runs) RUNS="$2"; shift 2 ;;
  --only) ONLY="$2"; shift 2 ;;
  --out) OUT="$2"; shift 2 ;;
  *) echo "usage: $0 [--size 64M] [--runs N] [--only LIST] [--out FILE]" >&2; exit 2 ;;
  esac
done
IFS=, read -r -a NAMES <<<"$ONLY"
for name in "${NAMES[@]}"; do
  case "$name" in
  zem4 | atftp | atftp_w64 | curl | mcast8 | ucast8) ;;
  *) echo "--only: no configuration named $name" >&2; exit 2 ;;
  esac
done
runs() { [[ ",$ONLY," == *",$1,"* ]]; }

# --- peers from Debian's packages ---------------------------------------------
missing=()
for pkg in hyperfine atftp atftpd curl iperf3 python3; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  zem4_log "installing ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- release build --------------------------------------------------------------
zem4_setup_ccache
zem4_log "release build of zem4 and zem4d"
BUILD_DIR="${ZEM4_BENCH_BUILD:-build/release}"
mkdir -p build
cmake --preset release -B "$BUILD_DIR" >build/configure-bench.log 2>&1 || { cat build/configure-bench.log >&2; exit 1; }
cmake --build "$BUILD_DIR" -j "$(zem4_jobs)" --target zem4 zem4d
ZEM4="$ZEM4_ROOT/$BUILD_DIR/tools/zem4"
ZEM4D="$ZEM4_ROOT/$BUILD_DIR/server/zem4d"

# --- the stage ------------------------------------------------------------------
WORK=$(mktemp -d /tmp/zem4-bench-XXXXXX)
chmod 755 "$WORK"
mkdir -p "$WORK/root" "$WORK/out"
chmod 755 "$WORK/root" "$WORK/out"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

BYTES=$(python3 -c "import sys; s=sys.argv[1].upper(); m={'K':1<<10,'M':1<<20,'G':1<<30}; print(int(s[:-1])*m[s[-1]] if s[-1] in m else int(s))" "$SIZE")
head -c "$BYTES" /dev/urandom >"$WORK/root/big.bin"
chmod 644 "$WORK/root/big.bin"

ZPORT=$(free_port)
TPORT=$(free_port)
IPORT=$(free_port)
MPORT=$(free_port)
"$ZEM4D" --root "$WORK/root" --bind 127.0.0.1 --port "$ZPORT" --mcast-net "239.255.$((RANDOM % 200 + 20)).0/24" \
  --mcast-port "$MPORT" --log-level info >"$WORK/zem4d.log" 2>&1 &
PIDS+=($!)
ZEM4D_PID=$!
atftpd --daemon --no-fork --port "$TPORT" --bind-address 127.0.0.1 --logfile "$WORK/atftpd.log" \
  "$WORK/root" >/dev/null 2>&1 &
PIDS+=($!)
sleep 0.5

# --- does each peer produce the file at all? ---------------------------------------
declare -A CMD OK
CMD[zem4]="$ZEM4 get big.bin --server 127.0.0.1:$ZPORT --station 127.0.0.2 --out $WORK/out/z.bin -q"
CMD[atftp]="atftp --option 'blksize 1032' -g -r big.bin -l $WORK/out/a.bin 127.0.0.1 $TPORT"
CMD[atftp_w64]="atftp --option 'blksize 1032' --option 'windowsize 64' -g -r big.bin -l $WORK/out/w.bin 127.0.0.1 $TPORT"
CMD[curl]="curl -s --tftp-blksize 1032 -o $WORK/out/c.bin tftp://127.0.0.1:$TPORT/big.bin"
many() { # many multicast|unicast: eight clients at once, all must succeed
  local flag="" i pids=() rc=0
  [ "$1" = multicast ] && flag="--multicast"
  for i in 1 2 3 4 5 6 7 8; do
    "$ZEM4" get big.bin --server "127.0.0.1:$ZPORT" $flag --station "127.0.0.$((30 + i))" \
      --out "$WORK/out/$1$i.bin" -q &
    pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i" || rc=1; done
  return $rc
}
export -f many
export ZEM4 ZPORT WORK
CMD[mcast8]="many multicast"
CMD[ucast8]="many unicast"

zem4_log "checking every configuration once"
for name in "${NAMES[@]}"; do
  rm -f "$WORK"/out/*
  if timeout 600 bash -c "${CMD[$name]}" >"$WORK/$name.check.log" 2>&1; then
    OK[$name]=1
    for f in "$WORK"/out/*; do cmp -s "$f" "$WORK/root/big.bin" || OK[$name]=0; done
  else
    OK[$name]=0
  fi
  echo "  $name: $([ "${OK[$name]}" = 1 ] && echo ok || echo FAILED)"
done

# --- server bytes per file byte for 8 clients --------------------------------------------
server_bytes() { # bytes the daemon has sent so far, from its totals line
  kill -USR1 "$ZEM4D_PID"
  sleep 0.3
  grep -o 'stats: .*' "$WORK/zem4d.log" | tail -1 | sed -n 's/.* bytes=\([0-9]*\).*/\1/p'
}
declare -A SENT=([mcast8]=0 [ucast8]=0)
for name in mcast8 ucast8; do
  runs "$name" || continue
  rm -f "$WORK"/out/*
  before=$(server_bytes)
  bash -c "${CMD[$name]}" >/dev/null 2>&1 || true
  sleep 1 # the last FIN repeats
  after=$(server_bytes)
  SENT[$name]=$((after - before))
done

# --- timings ---------------------------------------------------------------------------
zem4_log "timing ($RUNS runs each)"
args=()
for name in "${NAMES[@]}"; do
  [ "${OK[$name]}" = 1 ] && args+=(-n "$name" "${CMD[$name]}")
done
hyperfine --runs "$RUNS" --warmup 1 --shell bash --export-json "$WORK/hyperfine.json" \
  --prepare "rm -f $WORK/out/*" "${args[@]}" >"$WORK/hyperfine.log" 2>&1 || cat "$WORK/hyperfine.log" >&2

zem4_log "raw UDP ceiling (iperf3 -u -l 1042 -b 0)"
for i in 1 2 3; do
  iperf3 -s -B 127.0.0.1 -p "$IPORT" -1 >/dev/null 2>&1 &
  sleep 0.3
  iperf3 -c 127.0.0.1 -p "$IPORT" -u -l 1042 -b 0 -t 4 -J >"$WORK/iperf$i.json" 2>/dev/null || true
  wait $! 2>/dev/null || true
done

table=$(python3 "$ZEM4_ROOT/bench/compare/table.py" --bytes "$BYTES" --hyperfine "$WORK/hyperfine.json" \
  --iperf "$WORK"/iperf*.json --sent-mcast "${SENT[mcast8]}" --sent-ucast "${SENT[ucast8]}" \
  --failed "$(for n in "${!OK[@]}"; do [ "${OK[$n]}" = 1 ] || printf '%s,' "$n"; done)" \
  --runs "$RUNS" --only "$ONLY")
echo
echo "$table"
if [ -n "$OUT" ]; then
  section="$WORK/section.md"
  {
    echo "Produced by \`bench/compare.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPU(s), $(uname -r),"
    echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end. File of $SIZE on loopback; medians of"
    echo "$RUNS runs (hyperfine), each run a fresh process. For zem4 a run is the whole command:"
    echo "start-up, the GetInfo query for size and SHA-256, the download, the driver's closing period,"
    echo "the SHA-256 check and the synced rename. Client CPU: user + system seconds of the command."
    echo
    echo "$table"
  } >"$section"
  python3 "$ZEM4_ROOT/bench/compare/section.py" "$OUT" "$section"
  zem4_log "section written to $OUT"
fi
