#!/bin/bash
# The include graph of the driver's six folders, from the #include lines.
#
#   scripts/include-graph.sh          graphviz dot on stdout: one node per
#                                     folder, one edge per folder pair, labelled
#                                     with the number of #include lines
#   scripts/include-graph.sh --check  exits 1 when a folder includes a folder
#                                     above it, other than the cycles the
#                                     driver's layout has on purpose (below),
#                                     or when docs/architecture.md's graph is
#                                     not this output, or when
#                                     scripts/arch-graphs.sh --check fails
#                                     (a call path of the pictures no longer
#                                     in the code, or a stale SVG)
#
# Layers, lowest first: include (efi/, zem4/), support, transport, protocol,
# modes, driver. Allowed upward edges, each a cycle the driver's layout has:
#   transport -> protocol  the builders and the send path take the instance and
#                          complete into the download's send notify
#   protocol  -> modes     the engine's mode table points at the modes' handlers
#   modes     -> driver    the multicast port opens its UDP4 child as the
#                          driver binding's agent
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(include support transport protocol modes driver)
allowed=" transport->protocol protocol->modes modes->driver "

rank() {
  local i
  for i in "${!layers[@]}"; do
    if [[ ${layers[$i]} == "$1" ]]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

# "from to" for every #include "folder/..." of a driver file, one per line.
edges() {
  local from
  for from in "${layers[@]}"; do
    if [[ ! -d $from ]]; then
      continue
    fi
    grep -rhoE '^#include "[a-z0-9]+/' --include='*.h' --include='*.cpp' "$from" |
      sed -E 's|#include "([a-z0-9]+)/|\1|' |
      sed -E 's/^(efi|zem4)$/include/' |
      while read -r to; do
        if [[ $to != "$from" && $(rank "$to") -ge 0 ]]; then
          echo "$from $to"
        fi
      done
  done
}

graph() {
  echo 'digraph driver_includes {'
  echo '  rankdir=BT;'
  echo '  node [shape=box, fontname="Helvetica"];'
  for layer in "${layers[@]}"; do
    echo "  \"$layer\";"
  done
  edges | sort | uniq -c | while read -r count from to; do
    style=""
    if (($(rank "$to") > $(rank "$from"))); then
      style=', style=dashed, color=firebrick'
    fi
    echo "  \"$from\" -> \"$to\" [label=\"$count\"$style];"
  done
  echo '}'
}

if [[ ${1:-} == --check ]]; then
  bad=0
  # The graph in docs/architecture.md is this script's output.
  if ! diff <(sed -n '/^```dot$/,/^```$/p' docs/architecture.md | sed '1d;$d') <(graph) >&2; then
    echo "include-graph: docs/architecture.md has an old graph (< doc, > code)" >&2
    bad=1
  fi
  while read -r count from to; do
    if (($(rank "$to") > $(rank "$from"))) && [[ $allowed != *" $from->$to "* ]]; then
      echo "include-graph: $from includes $to $count time(s), above it:" >&2
      grep -rnE "^#include \"$to/" "$from" >&2 || true
      bad=1
    fi
  done < <(edges | sort | uniq -c)
  if ! bash scripts/arch-graphs.sh --check; then
    bad=1
  fi
  exit $bad
fi

graph
