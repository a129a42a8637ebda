#!/usr/bin/env bash
# A small LAN of network namespaces for zem4's tests: one namespace holds a
# bridge (multicast snooping off, so groups are flooded as by a plain switch),
# a server namespace hangs on it through a tbf-shaped uplink, and each client
# has a namespace of its own. Addresses are 10.199.0.0/24 and exist only in
# these namespaces; there is no default route anywhere, so nothing can leave.
#
#   lan.sh up TAG CLIENTS MBIT   build the bed (server 10.199.0.1, client i 10.199.0.(10+i))
#   lan.sh down TAG              kill what runs in it and remove it
#   lan.sh loss TAG I PERMILLE   client I drops that share of the UDP it receives
#                                (replacing the share set before; 0: none)
#   lan.sh cut TAG I             take client I's namespace down (its processes killed)
#   lan.sh ns TAG NAME           the namespace of "server", "bridge" or client I
#   lan.sh sweep                 remove beds whose owner process is gone
#
# TAG is the owning process's PID: a bed whose owner died is swept by the
# next run. Needs root with CAP_NET_ADMIN. Exits 3 when the bed cannot be made.
set -euo pipefail

prefix=zl
ns_of() { # TAG NAME
  case "$2" in
  server) echo "$prefix$1-s" ;;
  bridge) echo "$prefix$1-b" ;;
  *) echo "$prefix$1-c$2" ;;
  esac
}

beds_of() { # TAG: every namespace of that bed
  ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$prefix$1-" || true
}

kill_in() { # NS: the processes running in it, by their ids
  local pids
  pids=$(ip netns pids "$1" 2>/dev/null || true)
  [[ -n "$pids" ]] && kill -KILL $pids 2>/dev/null || true
}

down() { # TAG
  local ns
  for ns in $(beds_of "$1"); do
    kill_in "$ns"
    ip netns del "$ns" 2>/dev/null || true
  done
}

sweep() {
  local ns owner
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$prefix[0-9]+-" || true); do
    owner=${ns#"$prefix"}
    owner=${owner%%-*}
    if ! kill -0 "$owner" 2>/dev/null; then
      kill_in "$ns"
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
}

attach() { # TAG NS PEER ADDRESS: a veth from NS's eth0 to the bridge's PEER port
  local br
  br=$(ns_of "$1" bridge)
  ip link add eth0 netns "$2" type veth peer name "$3" netns "$br"
  ip -n "$br" link set "$3" master br0 up
  ip -n "$2" link set lo up
  ip -n "$2" addr add "$4/24" dev eth0
  ip -n "$2" link set eth0 up
}

up() { # TAG CLIENTS MBIT
  local tag=$1 clients=$2 mbit=$3 i br srv ns
  [[ "$tag" =~ ^[0-9]+$ && "$clients" =~ ^[0-9]+$ && "$mbit" =~ ^[0-9]+$ ]] ||
    { echo "lan.sh: up TAG CLIENTS MBIT" >&2; exit 2; }
  ((clients >= 1 && clients <= 32)) || { echo "lan.sh: 1 to 32 clients" >&2; exit 2; }
  sweep
  down "$tag"
  # A bed half made is no bed: whatever stops the build takes it down.
  trap 'down "$tag"; exit 3' ERR INT TERM
  trap 'down "$tag"' EXIT
  br=$(ns_of "$tag" bridge)
  srv=$(ns_of "$tag" server)
  ip netns add "$br"
  ip -n "$br" link set lo up
  ip -n "$br" link add br0 type bridge mcast_snooping 0
  ip -n "$br" link set br0 up
  ip netns add "$srv"
  attach "$tag" "$srv" up0 10.199.0.1
  # The server's uplink: shaped on its way out, as a slow switch port is.
  tc -n "$srv" qdisc add dev eth0 root tbf rate "${mbit}mbit" burst 64kb limit 512kb
  for ((i = 1; i <= clients; i++)); do
    ip netns add "$(ns_of "$tag" "$i")"
    attach "$tag" "$(ns_of "$tag" "$i")" "p$i" "10.199.0.$((10 + i))"
  done
  # The bed is ready when every bridge port forwards (no STP: as soon as
  # both ends of its veth are up).
  for ((i = 0; i < 50; i++)); do
    if [[ $(bridge -n "$br" link show | grep -c "state forwarding") -eq $((clients + 1)) ]]; then
      # Nothing here may lead anywhere else.
      for ns in $(beds_of "$tag"); do
        if [[ -n $(ip -n "$ns" route show default) ]]; then
          echo "lan.sh: $ns has a default route" >&2
          exit 3
        fi
      done
      trap - ERR INT TERM EXIT
      return 0
    fi
    sleep 0.1
  done
  echo "lan.sh: the bed's links did not come up" >&2
  exit 3
}

case "${1:-}" in
up) shift; up "$@" ;;
down) down "$2" ;;
sweep) sweep ;;
ns) ns_of "$2" "$3" ;;
loss)
  ns=$(ns_of "$2" "$3")
  [[ "$4" =~ ^[0-9]+$ ]] || { echo "lan.sh: loss TAG I PERMILLE" >&2; exit 2; }
  # A new share replaces the old one (a benchmark runs with and without).
  ip netns exec "$ns" nft delete table inet t 2>/dev/null || true
  if (($4 > 0)); then
    ip netns exec "$ns" nft add table inet t
    ip netns exec "$ns" nft add chain inet t input '{ type filter hook input priority 0; }'
    ip netns exec "$ns" nft add rule inet t input meta l4proto udp numgen random mod 1000 '<' "$4" drop
  fi
  ;;
cut)
  ns=$(ns_of "$2" "$3")
  ip -n "$(ns_of "$2" bridge)" link del "p$3" 2>/dev/null || true
  kill_in "$ns"
  ip netns del "$ns"
  ;;
*)
  sed -n '2,16p' "$0" >&2
  exit 2
  ;;
esac
