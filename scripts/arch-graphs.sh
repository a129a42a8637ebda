#!/bin/bash
# The call-path pictures of docs/architecture.md, from lists of calls that
# are checked against the sources.
#
#   scripts/arch-graphs.sh          checks every list, then writes the dot
#                                   source of each picture to stdout and, with
#                                   graphviz's dot installed, docs/<name>.svg
#                                   (apt-get install graphviz), and
#                                   docs/include-graph.svg from
#                                   scripts/include-graph.sh
#   scripts/arch-graphs.sh --check  exits 1 when a listed function is no longer
#                                   defined in its file, a caller no longer
#                                   contains the call, or an SVG was not made
#                                   from the current list (no graphviz needed)
#
# A list line is   caller | callee | evidence | label
#   caller, callee   file:Function or file:Class::Method, as defined there
#   evidence         text the caller's body must contain (default: the
#                    callee's name and "("); several joined by " && "; one of
#                    the form file:Function~text is looked for in that
#                    function's body instead (who registered a notification)
#   label            what the arrow says; a label starting with "~" draws a
#                    dashed arrow: the call happens later, through an event
# Every SVG ends with a comment holding the sha256 of the dot source it was
# made from, so that --check can tell a stale picture without graphviz.
set -euo pipefail
cd "$(dirname "$0")/.."

# ---- The lists ---------------------------------------------------------------

rx_path() {
  cat <<'EOF'
host/Firmware.cpp:Firmware::Tick | host/SocketNetwork.cpp:SocketNetwork::Service | d->Service(now) | tick: devices in adding order
host/SocketNetwork.cpp:SocketNetwork::Service | host/SocketNetwork.cpp:SocketNetwork::Drain | | each port with an empty inbox
host/SocketNetwork.cpp:SocketNetwork::Drain | host/SocketNetwork.cpp:SocketNetwork::Inject | ::recvmmsg( && Inject( | recvmmsg batch, port filter
host/SocketNetwork.cpp:SocketNetwork::Inject | host/SocketNetwork.cpp:SocketNetwork::Deliver | | receive faults (loss, dup, reorder)
host/Firmware.cpp:Firmware::Tick | host/SimNetwork.cpp:SimNetwork::Service | d->Service(now) | tick: devices in adding order
host/SimNetwork.cpp:SimNetwork::Service | host/SimNetwork.cpp:SimPort::Arrive | | copies due by virtual time
host/SimNetwork.cpp:SimPort::Arrive | host/Udp4Child.cpp:Udp4Child::OnArrival | NoteArrival() | the port's listener
host/Udp4Child.cpp:Udp4Child::OnArrival | host/Firmware.cpp:Firmware::WakeDevice | controller_.Wake() && host/Udp4Controller.h:Udp4ControllerImpl::Wake~fw_.WakeDevice(*this) | wakes the controller
host/Firmware.cpp:Firmware::Tick | host/Udp4Controller.cpp:Udp4ControllerImpl::Service | d->Service(now) | same tick, after the network
host/Udp4Controller.cpp:Udp4ControllerImpl::Service | host/Udp4Child.cpp:Udp4Child::Service | children_[i]->Service() | each UDP4 child
host/Udp4Child.cpp:Udp4Child::Service | host/Udp4Child.cpp:Udp4Child::DeliverReceives | | posted token + inbox
host/Udp4Child.cpp:Udp4Child::DeliverReceives | host/Udp4Controller.cpp:Udp4ControllerImpl::HandOut | port_->Receive() && HandOut( | RxData + recycle event
host/Udp4Child.cpp:Udp4Child::DeliverReceives | host/Udp4Child.cpp:Udp4Child::Complete | | token status
host/Udp4Child.cpp:Udp4Child::Complete | host/EventCore.cpp:EventCore::Signal | fw.SignalEvent(token->Event) && host/Firmware.cpp:Firmware::SignalEvent~events.Signal(event) | queued at TPL_CALLBACK
host/Firmware.cpp:Firmware::Tick | host/EventCore.cpp:EventCore::Dispatch | events.Dispatch() | end of the tick
host/EventCore.cpp:EventCore::Dispatch | protocol/Zem4Rrq.cpp:Zem4RrqRxCallback | notify(HandleOf(id), context) && protocol/Zem4Rrq.cpp:Zem4InitRrqState~Zem4RrqRxCallback | ~notify at TPL_CALLBACK
protocol/Zem4Rrq.cpp:Zem4RrqRxCallback | protocol/Zem4Rrq.cpp:TakeCompletion | | status, length, server port
protocol/Zem4Rrq.cpp:Zem4RrqRxCallback | protocol/Zem4Rrq.cpp:Linearise | | one piece
protocol/Zem4Rrq.cpp:Zem4RrqRxCallback | protocol/Zem4Rrq.cpp:DispatchByOpcode | |
protocol/Zem4Rrq.cpp:DispatchByOpcode | protocol/Zem4Rrq.cpp:RunHandler | | length ok for the opcode
protocol/Zem4Rrq.cpp:RunHandler | protocol/Zem4Rrq.cpp:InClosingState | | TIME_WAIT, ERROR_SENT
protocol/Zem4Rrq.cpp:RunHandler | protocol/Zem4Rrq.cpp:CallModeHandler | |
protocol/Zem4Rrq.cpp:CallModeHandler | modes/Zem4Active.cpp:Zem4RrqActiveRcvData | RrqData->RcvData( && protocol/Zem4Rrq.cpp:mZem4ModeTable~{ZEM4_MODE_ACTIVE, Zem4RrqActiveRcvData | DATA8 through the mode table
modes/Zem4Active.cpp:Zem4RrqActiveRcvData | modes/Zem4Active.cpp:TakeInWindow | |
modes/Zem4Active.cpp:TakeInWindow | modes/Zem4Missing.cpp:Zem4RrqSaveSlots | | a completed first half
modes/Zem4Missing.cpp:Zem4RrqSaveSlots | modes/Zem4Missing.cpp:Zem4RrqSaveBlk | | runs of blocks, file order
modes/Zem4Missing.cpp:Zem4RrqSaveBlk | protocol/Zem4Rrq.cpp:Zem4CallCheckPacket | | under the call guard
protocol/Zem4Rrq.cpp:Zem4CallCheckPacket | caller:CheckPacket | Token->CheckPacket( | the caller's routine
protocol/Zem4Rrq.cpp:Zem4RrqRxCallback | protocol/Zem4Rrq.cpp:RecycleRx | | the buffer back to UDP4
protocol/Zem4Rrq.cpp:RecycleRx | host/Udp4Controller.cpp:Udp4ControllerImpl::Recycle | gBS->SignalEvent(Recycle) && host/Udp4Controller.cpp:Udp4ControllerImpl::HandOut~&OnRecycle | ~RecycleSignal at TPL_NOTIFY
protocol/Zem4Rrq.cpp:Zem4RrqRxCallback | protocol/Zem4Rrq.cpp:Repost | |
protocol/Zem4Rrq.cpp:Repost | transport/Zem4Packet.cpp:Zem4StartRcv | |
transport/Zem4Packet.cpp:Zem4StartRcv | host/Udp4Child.cpp:Udp4Child::Receive | Instance->Udp->Receive( && host/Udp4Entry.cpp:Receive~c.Receive(Token) | the same token again
EOF
}

transfer_start() {
  cat <<'EOF'
protocol/Zem4Protocol.cpp:Zem4GetInfo | protocol/Zem4Protocol.cpp:Zem4ReadFile | | CheckPacket = Zem4GetInfoCheck
protocol/Zem4Protocol.cpp:Zem4ReadFile | protocol/Zem4Start.cpp:Zem4InitPrivate | | RRQ
protocol/Zem4Protocol.cpp:Zem4ReadDirectory | protocol/Zem4Start.cpp:Zem4InitPrivate | | DIR
protocol/Zem4Start.cpp:Zem4InitPrivate | support/Zem4Tpl.cpp:Zem4RaiseToLock | | caller's TPL -> TPL_CALLBACK
protocol/Zem4Start.cpp:Zem4InitPrivate | protocol/Zem4Start.cpp:CheckStart | | checks, in order
protocol/Zem4Start.cpp:Zem4InitPrivate | protocol/Zem4Rrq.cpp:Zem4SettleOwedReset | | last transfer's port
protocol/Zem4Start.cpp:Zem4InitPrivate | protocol/Zem4Start.cpp:ConfigurePort | |
protocol/Zem4Start.cpp:ConfigurePort | protocol/Zem4Start.cpp:Zem4WaitForMapping | | EFI_NO_MAPPING: ADDRESS_WAIT
protocol/Zem4Start.cpp:Zem4InitPrivate | protocol/Zem4Start.cpp:StartDownload | |
protocol/Zem4Start.cpp:StartDownload | protocol/Zem4Rrq.cpp:Zem4InitRrqState | | window allocated first
protocol/Zem4Rrq.cpp:Zem4InitRrqState | modes/Zem4Missing.cpp:Zem4RrqCreateMissing | | 1..last all missing
protocol/Zem4Rrq.cpp:Zem4InitRrqState | transport/Zem4Build.cpp:Zem4BuildRrq | | RequestPacket
protocol/Zem4Rrq.cpp:Zem4InitRrqState | transport/Zem4Packet.cpp:Zem4SendPacket | | RRQ on the wire
protocol/Zem4Start.cpp:StartDownload | transport/Zem4Packet.cpp:Zem4StartRcv | | first receive posted
protocol/Zem4Start.cpp:Zem4InitPrivate | protocol/Zem4Start.cpp:RunOrReturn | |
protocol/Zem4Start.cpp:RunOrReturn | protocol/Zem4Protocol.cpp:Zem4Poll | This->Poll(This) && protocol/Zem4Protocol.cpp:gZem4ProtocolTemplate~Zem4Poll | blocking: poll until the guard is gone
EOF
}

transfer_end() {
  cat <<'EOF'
protocol/Zem4Rrq.cpp:Zem4RrqTimer | protocol/Zem4Rrq.cpp:Zem4RrqFinish | | TIME_WAIT's timer
protocol/Zem4Rrq.cpp:Zem4RrqSendComplete | protocol/Zem4Rrq.cpp:Zem4RrqFinish | | last pending send in TIME_WAIT
protocol/Zem4Protocol.cpp:Zem4Config | protocol/Zem4Rrq.cpp:Zem4RrqFinish | | Configure(NULL): EFI_ABORTED
protocol/Zem4Protocol.cpp:Zem4Config | protocol/Zem4Start.cpp:Zem4AbortAddressWait | | Configure(NULL) in ADDRESS_WAIT
driver/Zem4ServiceBinding.cpp:DestroyChild | protocol/Zem4Protocol.cpp:Zem4Config | Instance->Protocol.Configure(&Instance->Protocol, NULL) | ends a running transfer
protocol/Zem4Start.cpp:Zem4InitPrivate | protocol/Zem4Rrq.cpp:Zem4RrqRelease | | a start that failed
protocol/Zem4Start.cpp:Zem4AbortAddressWait | protocol/Zem4Rrq.cpp:Zem4RrqRelease | |
protocol/Zem4Rrq.cpp:Zem4RrqFinish | protocol/Zem4Rrq.cpp:Zem4RrqRelease | | then Done, IDLE, token signalled
protocol/Zem4Rrq.cpp:Zem4RrqRelease | modes/Zem4Missing.cpp:Zem4RrqFreeMissing | | MissingList
protocol/Zem4Rrq.cpp:Zem4RrqRelease | modes/Zem4Mcast.cpp:Zem4RrqCloseMcastPort | | the group's UDP4 child
protocol/Zem4Rrq.cpp:Zem4RrqRelease | transport/Zem4Packet.cpp:Zem4ReleasePacket | | RequestPacket, LastPacket
protocol/Zem4Rrq.cpp:Zem4RrqRelease | protocol/Zem4Rrq.cpp:Zem4ResetUnicastPort | | the unicast port; TimerEvent last
protocol/Zem4Rrq.cpp:Zem4ResetUnicastPort | transport/Zem4Packet.cpp:Zem4CloseUdpPort | | two attempts, else ResetOwed
transport/Zem4Packet.cpp:Zem4CloseUdpPort | transport/Zem4Packet.cpp:Zem4ForgetUdpPort | | Configure(NULL) succeeded
protocol/Zem4Rrq.cpp:Zem4RrqSilentShutdown | protocol/Zem4Rrq.cpp:Zem4SetTimer | | TIME_WAIT, 500 ms
modes/Zem4ModeEnd.cpp:Zem4RrqShutdown | protocol/Zem4Rrq.cpp:Zem4RrqSilentShutdown | | a mode's failure
protocol/Zem4Rrq.cpp:Zem4SetTimer | protocol/Zem4Rrq.cpp:Zem4RrqTimer | gBS->SetTimer( && protocol/Zem4Rrq.cpp:Zem4InitRrqState~Zem4RrqTimer | ~TimerEvent at TPL_CALLBACK
EOF
}

graphs=(rx_path transfer_start transfer_end)
declare -A titles=(
  [rx_path]="A datagram from the socket or the simulated wire to CheckPacket"
  [transfer_start]="Where a transfer starts"
  [transfer_end]="Where a transfer ends: every end through Zem4RrqRelease"
)
declare -A files=([rx_path]=rx-path [transfer_start]=transfer-start [transfer_end]=transfer-end)

# ---- Looking at the sources --------------------------------------------------

trim() {
  local s=$1
  s=${s#"${s%%[![:space:]]*}"}
  s=${s%"${s##*[![:space:]]}"}
  printf '%s' "$s"
}

# The body of a function (its definition line to the closing brace) on
# stdout; nothing when the file does not define it (a table's initialiser
# counts as its body). Class::Method is looked
# for qualified first, then as a method defined in its class's body.
body() {
  local file=$1 fn=$2
  [[ -f $file ]] || return 0
  local short=${fn##*::}
  local out
  out=$(awk -v name="$fn" -f <(definition_awk) "$file")
  if [[ -z $out && $fn == *::* ]]; then
    out=$(awk -v name="$short" -v indented=1 -f <(definition_awk) "$file")
  fi
  printf '%s' "$out"
}

definition_awk() {
  cat <<'AWK'
function escaped(s) { gsub(/[][\\.*+?(){}|^$]/, "\\\\&", s); return s }
BEGIN {
  # A function, or a table (a variable with a braced initialiser).
  pat = "(^|[^A-Za-z0-9_:>.])" escaped(name) "[ \t]*(\\(|(\\[\\])?[ \t]*=[ \t]*\\{)"
  depth = -1
}
depth < 0 {
  # A definition: the name followed by "(", not a call inside an expression,
  # not a declaration (";" ending the signature).
  if ($0 ~ pat && $0 !~ /^[ \t]*(return|if|while|for|switch|else)[ (]/ &&
      $0 !~ /[=,][ \t]*[A-Za-z_:]*\(/ && (indented || $0 ~ /^[A-Za-z]/)) {
    sig = $0; start = NR; depth = 0; opened = 0
  }
}
depth >= 0 {
  line = $0
  gsub(/"([^"\\]|\\.)*"/, "\"\"", line)
  gsub(/'([^'\\]|\\.)*'/, "''", line)
  sub(/\/\/.*/, "", line)
  if (!opened && line ~ /;[ \t]*$/ && line !~ /\{/) { depth = -1; next }
  text = text $0 "\n"
  n = split(line, ch, "")
  for (i = 1; i <= n; i++) {
    if (ch[i] == "{") { depth++; opened = 1 }
    else if (ch[i] == "}") depth--
  }
  if (opened && depth == 0) { printf "%s", text; exit }
}
AWK
}

# "ok" or the reason a list line does not hold.
verify() {
  local from=$1 to=$2 evidence=$3
  local ffile=${from%%:*} ffn=${from#*:}
  local fbody
  fbody=$(body "$ffile" "$ffn")
  if [[ -z $fbody ]]; then
    echo "$ffile does not define $ffn"
    return
  fi
  if [[ $to != caller:* ]]; then
    local tfile=${to%%:*} tfn=${to#*:}
    if [[ -z $(body "$tfile" "$tfn") ]]; then
      echo "$tfile does not define $tfn"
      return
    fi
  fi
  if [[ -z $evidence ]]; then
    evidence="${to##*[:]}("
  fi
  local piece
  while IFS= read -r piece; do
    piece=$(trim "$piece")
    [[ -n $piece ]] || continue
    if [[ $piece == *~* && ${piece%%~*} == *:* && ${piece%%~*} != *' '* ]]; then
      local where=${piece%%~*} text=${piece#*~}
      local wbody
      wbody=$(body "${where%%:*}" "${where#*:}")
      if [[ -z $wbody ]]; then
        echo "${where%%:*} does not define ${where#*:}"
        return
      fi
      if [[ $wbody != *"$text"* ]]; then
        echo "${where#*:} in ${where%%:*} no longer contains: $text"
        return
      fi
    elif [[ $fbody != *"$piece"* ]]; then
      echo "$ffn in $ffile no longer contains: $piece"
      return
    fi
  done < <(sed 's/ && /\n/g' <<<"$evidence")
  echo ok
}

# ---- The pictures ------------------------------------------------------------

dot_of() {
  local graph=$1
  local -A clusters=()
  local -a order=()
  local from to evidence label
  while IFS='|' read -r from to evidence label; do
    for node in "$(trim "$from")" "$(trim "$to")"; do
      local file=${node%%:*}
      if [[ -z ${clusters[$file]+x} ]]; then
        order+=("$file")
        clusters[$file]=""
      fi
      if [[ " ${clusters[$file]} " != *" ${node#*:} "* ]]; then
        clusters[$file]+=" ${node#*:}"
      fi
    done
  done < <("$graph")

  echo "digraph $graph {"
  echo "  label=\"${titles[$graph]}\"; labelloc=t; fontname=\"Helvetica\"; fontsize=16;"
  echo '  rankdir=LR; nodesep=0.25; ranksep=0.4;'
  echo '  node [shape=box, style="rounded,filled", fillcolor=white, fontname="Helvetica", fontsize=11];'
  echo '  edge [fontname="Helvetica", fontsize=9, color=gray30];'
  local i=0 file fn
  for file in "${order[@]}"; do
    echo "  subgraph cluster_$i {"
    echo "    label=\"$file\"; style=filled; fillcolor=\"$(fill_of "$file")\"; color=gray60; fontsize=10;"
    for fn in ${clusters[$file]}; do
      echo "    \"$file:$fn\" [label=\"$fn\"];"
    done
    echo '  }'
    i=$((i + 1))
  done
  local n=0
  while IFS='|' read -r from to evidence label; do
    n=$((n + 1))
    from=$(trim "$from")
    to=$(trim "$to")
    label=$(trim "$label")
    local style=""
    if [[ $label == '~'* ]]; then
      label=${label#\~}
      style=', style=dashed, color=firebrick'
    fi
    echo "  \"$from\" -> \"$to\" [label=\"$n${label:+ $label}\"$style];"
  done < <("$graph")
  echo '}'
}

fill_of() {
  case $1 in
  host/*) echo '#eef3fb' ;;
  caller) echo '#fdf1e6' ;;
  protocol/*) echo '#eef8ee' ;;
  modes/*) echo '#f6eefa' ;;
  transport/*) echo '#fbf7e6' ;;
  *) echo '#f2f2f2' ;;
  esac
}

# ---- Main ----------------------------------------------------------------------

bad=0
for graph in "${graphs[@]}"; do
  while IFS='|' read -r from to evidence label; do
    result=$(verify "$(trim "$from")" "$(trim "$to")" "$(trim "$evidence")")
    if [[ $result != ok ]]; then
      echo "arch-graphs: $graph: $(trim "$from") -> $(trim "$to"): $result" >&2
      bad=1
    fi
  done < <("$graph")
done

sum_of() { sha256sum | cut -d' ' -f1; }

if [[ ${1:-} == --check ]]; then
  for graph in "${graphs[@]}"; do
    svg=docs/${files[$graph]}.svg
    want=$(dot_of "$graph" | sum_of)
    if ! grep -q "<!-- arch-graphs source $want -->" "$svg" 2>/dev/null; then
      echo "arch-graphs: $svg was not made from the current list (run scripts/arch-graphs.sh)" >&2
      bad=1
    fi
  done
  want=$(scripts/include-graph.sh | sum_of)
  if ! grep -q "<!-- arch-graphs source $want -->" docs/include-graph.svg 2>/dev/null; then
    echo "arch-graphs: docs/include-graph.svg is not the current include graph (run scripts/arch-graphs.sh)" >&2
    bad=1
  fi
  exit $bad
fi

if ((bad)); then
  exit 1
fi
for graph in "${graphs[@]}"; do
  dot_of "$graph"
  if command -v dot >/dev/null; then
    svg=docs/${files[$graph]}.svg
    dot_of "$graph" | dot -Tsvg >"$svg"
    echo "<!-- arch-graphs source $(dot_of "$graph" | sum_of) -->" >>"$svg"
  fi
done
if command -v dot >/dev/null; then
  scripts/include-graph.sh | dot -Tsvg >docs/include-graph.svg
  echo "<!-- arch-graphs source $(scripts/include-graph.sh | sum_of) -->" >>docs/include-graph.svg
else
  echo "arch-graphs: no dot (apt-get install graphviz): SVGs not written" >&2
fi
