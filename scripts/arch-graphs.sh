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
#                                   The tables of docs/architecture.md
#                                   (the paths, step by step, and who owns
#                                   what) are written between their markers.
#   scripts/arch-graphs.sh --check  exits 1 when a listed function is no longer
#                                   defined in its file, a caller no longer
#                                   contains the call, or an SVG was not made
#                                   from the current list, or a table of
#                                   docs/architecture.md is not the current one (no graphviz
#                                   needed)
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
protocol/Zem4Start.cpp:RunOrReturn | protocol/Zem4Protocol.cpp:Zem4Poll | Zem4Poll(This, &Guard) && protocol/Zem4Protocol.cpp:gZem4ProtocolTemplate~Zem4Poll | blocking: poll until the guard is gone
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
protocol/Zem4Rrq.cpp:Zem4RrqRelease | modes/Zem4Mcast.cpp:Zem4RrqLeaveToHeldRx | | a group receive UDP4 keeps
protocol/Zem4Rrq.cpp:Zem4RrqRelease | transport/Zem4Packet.cpp:Zem4ReleasePacket | | RequestPacket, LastPacket
protocol/Zem4Rrq.cpp:Zem4RrqRelease | protocol/Zem4Rrq.cpp:Zem4ResetUnicastPort | | the unicast port; TimerEvent last
protocol/Zem4Rrq.cpp:Zem4ResetUnicastPort | transport/Zem4Packet.cpp:Zem4CloseUdpPort | | two attempts, else ResetOwed
transport/Zem4Packet.cpp:Zem4CloseUdpPort | transport/Zem4Packet.cpp:Zem4ForgetUdpPort | | Configure(NULL) succeeded
protocol/Zem4Rrq.cpp:Zem4RrqSilentShutdown | protocol/Zem4Rrq.cpp:Zem4SetTimer | | TIME_WAIT, 500 ms
modes/Zem4ModeEnd.cpp:Zem4RrqEndOnServerError | protocol/Zem4Rrq.cpp:Zem4RrqSilentShutdown | | a mode's failure, the server's ERROR
protocol/Zem4Rrq.cpp:Zem4SetTimer | protocol/Zem4Rrq.cpp:Zem4RrqTimer | gBS->SetTimer( && protocol/Zem4Rrq.cpp:Zem4InitRrqState~Zem4RrqTimer | ~TimerEvent at TPL_CALLBACK
EOF
}

# The ownership table of docs/architecture.md, between its markers
# "<!-- ownership:begin -->" and "<!-- ownership:end -->". A line is
#   what | owner | made in | given back in
# where the sites are file:Function~text (the text must be in that function's
# body) joined by " && "; a site of the caller's is written as plain words.
ownership() {
  cat <<'EOF'
service binding record (one per controller) | the driver, from Start to Stop | driver/Zem4DriverBinding.cpp:DriverBindingStart~sizeof(Zem4ServiceBinding) | driver/Zem4DriverBinding.cpp:StopController~gBS->FreePool(Sb)
`Zem4Instance` (one per child) | the controller's child list | driver/Zem4ServiceBinding.cpp:Zem4SBCreate~sizeof(Zem4Instance) | driver/Zem4ServiceBinding.cpp:FreeChild~gBS->FreePool(Instance)
`MappingEvent` (the address wait's timer) | the instance | driver/Zem4ServiceBinding.cpp:Zem4SBCreate~Zem4MappingTimeoutNotify | driver/Zem4ServiceBinding.cpp:FreeChild~gBS->CloseEvent(Instance->MappingEvent)
`WindowBuffer` (two half windows) | the transfer | protocol/Zem4Start.cpp:StartDownload~ZEM4_WINDOW_BYTES | protocol/Zem4Rrq.cpp:Zem4RrqRelease~gBS->FreePool(Instance->WindowBuffer)
`RrqData` (the download record, with its mode's handlers) | the transfer | protocol/Zem4Rrq.cpp:Zem4InitRrqState~sizeof(Zem4RrqData) | protocol/Zem4Rrq.cpp:Zem4RrqRelease~gBS->FreePool(RrqData) && modes/Zem4Mcast.cpp:Zem4RrqEndHeldRx~gBS->FreePool(RrqData)
missing ranges (`MissingList`) | the download record | modes/Zem4Missing.cpp:NewRange~sizeof(Zem4MissingRange) | modes/Zem4Missing.cpp:TakeOut~gBS->FreePool(Range) && modes/Zem4Missing.cpp:Zem4RrqFreeMissing~gBS->FreePool(RangeOf(Entry))
unicast receive event (`RxContext.RxToken.Event`) | the transfer | protocol/Zem4Rrq.cpp:Zem4InitRrqState~Zem4RrqRxCallback | transport/Zem4Packet.cpp:Zem4ForgetRx~gBS->CloseEvent(RxContext->RxToken.Event)
`TimerEvent` (the transfer's timer) | the transfer | protocol/Zem4Rrq.cpp:Zem4InitRrqState~Zem4RrqTimer | protocol/Zem4Rrq.cpp:Zem4RrqRelease~gBS->CloseEvent(Instance->TimerEvent)
the group's UDP4 child | the download record | modes/Zem4Mcast.cpp:MakeMcastChild~CreateChild( | modes/Zem4Mcast.cpp:ReleaseChild~DestroyChild(
the group's receive event (`McastRxContext`) | the download record | modes/Zem4Mcast.cpp:JoinGroup~Zem4RrqRxCallback | transport/Zem4Packet.cpp:Zem4ForgetRx~gBS->CloseEvent(RxContext->RxToken.Event) && called by modes/Zem4Mcast.cpp:Zem4RrqCloseMcastPort~Zem4ForgetRx(&RrqData->McastRxContext && modes/Zem4Mcast.cpp:Zem4RrqEndHeldRx~Zem4ForgetRx(Port
`Zem4Packet` and its buffer | counted references: the maker's, one per pending send | transport/Zem4Packet.cpp:Zem4GetPacket~Zem4AllocPacket( | transport/Zem4Packet.cpp:Zem4ReleasePacket~InsertHeadList( && driver/Zem4DriverBinding.cpp:StopController~Zem4DrainPacketPool()
a pending send's reference | `PendingList`, until the send completes | transport/Zem4Packet.cpp:Zem4SendPacket~Packet->RefCount++ | protocol/Zem4Rrq.cpp:Zem4RrqSendComplete~Zem4ReleasePacket(Packet) && transport/Zem4Packet.cpp:Zem4ForgetUdpPort~Zem4ReleasePacket(Packet)
a packet's send event (`TxToken.Event`) | the packet | transport/Zem4Packet.cpp:Zem4CreatePacketEvent~&Packet->TxToken.Event | transport/Zem4Packet.cpp:Zem4ReleasePacket~gBS->CloseEvent(Packet->TxToken.Event) && transport/Zem4Packet.cpp:Zem4ForgetUdpPort~gBS->CloseEvent(Packet->TxToken.Event)
`RequestPacket` (kept for resends) | the transfer | transport/Zem4Build.cpp:Zem4BuildRrq~Instance->RequestPacket = Packet | protocol/Zem4Rrq.cpp:Zem4RrqRelease~Zem4ReleasePacket(Instance->RequestPacket)
`LastPacket` (the last ACK, RPL or ERROR, kept for resends) | the transfer | transport/Zem4Packet.cpp:Zem4SendError~Instance->LastPacket = Packet && modes/Zem4Kept.cpp:Zem4RrqSendAndKeep~Instance->LastPacket = Packet && called by modes/Zem4Active.cpp:Zem4SendAck~Zem4RrqSendAndKeep( && modes/Zem4Rpl.cpp:Zem4SendRpl~Zem4RrqSendAndKeep( | protocol/Zem4Rrq.cpp:Zem4RrqRelease~Zem4ReleasePacket(Instance->LastPacket)
linear copy of a fragmented datagram | the receive notification | protocol/Zem4Rrq.cpp:Linearise~Zem4GetPacket( | protocol/Zem4Rrq.cpp:Zem4RrqRxCallback~Zem4ReleasePacket(Rx.Linear)
a received datagram (`RxData`) | UDP4 (the host keeps an `RxRecord`) | host/Udp4Controller.cpp:Udp4ControllerImpl::HandOut~std::make_unique<RxRecord>() | protocol/Zem4Rrq.cpp:RecycleRx~gBS->SignalEvent(Recycle) && transport/Zem4Packet.cpp:Zem4ForgetRx~RxData->RecycleSignal
its `RecycleSignal` event | UDP4 | host/Udp4Controller.cpp:Udp4ControllerImpl::HandOut~&OnRecycle | host/Udp4Controller.cpp:Udp4ControllerImpl::Recycle~fw_.CloseEvent(ev)
GetInfo's copy of the server's answer | the caller | protocol/Zem4Protocol.cpp:Zem4GetInfoCheck~gBS->CopyMem(Copy, Data, Length) | the caller, with FreePool
ParseOptions' list (through `Zem4ExtractOptions`) | the caller | protocol/Zem4Options.cpp:Zem4ExtractOptions~*OptionList = | the caller, with FreePool
the token, its event and its buffer | the caller | the caller | the caller (the driver signals the event in protocol/Zem4Rrq.cpp:Zem4RrqFinish~gBS->SignalEvent(Token->Event))
a call guard (`Zem4CallGuard`) | the stack frame that calls out | protocol/Zem4Rrq.cpp:Zem4CallCheckPacket~Zem4GuardEnter(Instance, &Guard) | protocol/Zem4Rrq.cpp:Zem4GuardLeave~*Link = Guard->Next && protocol/Zem4Rrq.cpp:Zem4GuardsGone~Guard->Gone = TRUE
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

# Why the function at `where` (file:Function) is not a site of `text`: it is
# not defined there, or its body no longer contains the text; nothing when it is.
site_fails() {
  local where=$1 text=$2
  local wbody
  wbody=$(body "${where%%:*}" "${where#*:}")
  if [[ -z $wbody ]]; then
    echo "${where%%:*} does not define ${where#*:}"
  elif [[ $wbody != *"$text"* ]]; then
    echo "${where#*:} in ${where%%:*} no longer contains: $text"
  fi
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
      local why
      why=$(site_fails "${piece%%~*}" "${piece#*~}")
      if [[ -n $why ]]; then
        echo "$why"
        return
      fi
    elif [[ $fbody != *"$piece"* ]]; then
      echo "$ffn in $ffile no longer contains: $piece"
      return
    fi
  done < <(sed 's/ && /\n/g' <<<"$evidence")
  echo ok
}

# The sites of a list (see ownership) as a table cell: each file:Function~text
# becomes `file:Function`; words around one stay.
site_pieces() {
  sed 's/ && /\n/g' <<<"$1"
}

is_site() {
  [[ $1 == *~* && ${1%%~*} == */*:* && ${1%%~*} != *' '* ]]
}

# "ok" or why a list of sites does not hold. A site inside words ("... in
# file:Function~text)") is the last word before "~".
sites_hold() {
  local piece
  while IFS= read -r piece; do
    piece=$(trim "$piece")
    [[ $piece == *~* ]] || continue
    local head=${piece%%~*} text=${piece#*~}
    local where=${head##* }
    text=${text%)}
    [[ $where == */*:* ]] || continue
    local why
    why=$(site_fails "$where" "$text")
    if [[ -n $why ]]; then
      echo "$why"
      return
    fi
  done < <(site_pieces "$1")
  echo ok
}

site_text() {
  local out="" piece
  while IFS= read -r piece; do
    piece=$(trim "$piece")
    [[ -n $piece ]] || continue
    if is_site "$piece"; then
      piece="\`${piece%%~*}\`"
    elif [[ $piece == *~* ]]; then
      local head=${piece%%~*} tail=${piece#*~}
      local close=""
      [[ $tail == *')' ]] && close=")"
      piece="${head% *} \`${head##* }\`$close"
    fi
    out+="${out:+, }$piece"
  done < <(site_pieces "$1")
  printf '%s' "$out"
}

ownership_table() {
  echo '| what | owned by | made in | given back in |'
  echo '| --- | --- | --- | --- |'
  local what owner made back
  while IFS='|' read -r what owner made back; do
    echo "| $(trim "$what") | $(trim "$owner") | $(site_text "$made") | $(site_text "$back") |"
  done < <(ownership)
}

# A call path as a numbered table: step, caller, callee, what the arrow says.
path_table() {
  echo '| # | from | to | |'
  echo '| --- | --- | --- | --- |'
  local n=0 from to evidence label
  while IFS='|' read -r from to evidence label; do
    n=$((n + 1))
    label=$(trim "$label")
    label=${label#\~}
    echo "| $n | \`$(trim "$from")\` | \`$(trim "$to")\` | $label |"
  done < <("$1")
}

# The generated blocks of docs/architecture.md: marker name and generator.
blocks=("ownership:ownership_table" "rx-path:path_table rx_path"
  "transfer-start:path_table transfer_start" "transfer-end:path_table transfer_end")

doc_block() {
  sed -n "/^<!-- $1:begin -->\$/,/^<!-- $1:end -->\$/p" docs/architecture.md | sed '1d;$d'
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

while IFS='|' read -r what owner made back; do
  for sites in "$made" "$back"; do
    result=$(sites_hold "$sites")
    if [[ $result != ok ]]; then
      echo "arch-graphs: ownership: $(trim "$what"): $result" >&2
      bad=1
    fi
  done
done < <(ownership)

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
  for block in "${blocks[@]}"; do
    if ! diff <(doc_block "${block%%:*}") <(${block#*:}) >&2; then
      echo "arch-graphs: docs/architecture.md's ${block%%:*} table is old (< doc, > list)" >&2
      bad=1
    fi
  done
  want=$(bash scripts/include-graph.sh | sum_of)
  if ! grep -q "<!-- arch-graphs source $want -->" docs/include-graph.svg 2>/dev/null; then
    echo "arch-graphs: docs/include-graph.svg is not the current include graph (run scripts/arch-graphs.sh)" >&2
    bad=1
  fi
  exit $bad
fi

if ((bad)); then
  exit 1
fi
# The tables go between their markers.
for block in "${blocks[@]}"; do
  name=${block%%:*}
  grep -q "^<!-- $name:begin -->\$" docs/architecture.md || continue
  ${block#*:} >"docs/.table.$$"
  awk -v table="docs/.table.$$" -v begin="<!-- $name:begin -->" -v end="<!-- $name:end -->" '
    $0 == end { while ((getline line < table) > 0) print line; skip = 0 }
    !skip { print }
    $0 == begin { skip = 1 }
  ' docs/architecture.md >"docs/.architecture.$$"
  mv "docs/.architecture.$$" docs/architecture.md
  rm -f "docs/.table.$$"
done
for graph in "${graphs[@]}"; do
  dot_of "$graph"
  if command -v dot >/dev/null; then
    svg=docs/${files[$graph]}.svg
    dot_of "$graph" | dot -Tsvg >"$svg"
    echo "<!-- arch-graphs source $(dot_of "$graph" | sum_of) -->" >>"$svg"
  fi
done
if command -v dot >/dev/null; then
  bash scripts/include-graph.sh | dot -Tsvg >docs/include-graph.svg
  echo "<!-- arch-graphs source $(bash scripts/include-graph.sh | sum_of) -->" >>docs/include-graph.svg
else
  echo "arch-graphs: no dot (apt-get install graphviz): SVGs not written" >&2
fi
