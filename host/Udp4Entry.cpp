// The EFIAPI entry points of the UDP4 protocol and its service binding: find
// the C++ object behind This, give the fault injector its say, then serve.
#include "host/Udp4Controller.h"

#include "host/EventCore.h"
#include "host/FaultInjector.h"

namespace zem4::host {
namespace {

// A completion signalled inside a call (Cancel, Configure(NULL), ...) is
// delivered before the call returns when the caller's TPL allows, as UEFI
// firmware does on its way back down from its own raised TPL.
void Settle(Firmware &fw) {
  fw.Events().Dispatch();
}

// UDP4 and its service binding may be called at TPL_CALLBACK or below; a
// firmware in debug asserts when its stack lowers the level back inside.
// Recorded, then served, so that the run goes on to show what follows.
void CheckTpl(Firmware &fw, const char *call) {
  fw.CheckTplLimit(call, TPL_CALLBACK);
}

template <typename Fn> EFI_STATUS ServeChild(EFI_UDP4_PROTOCOL *This, const char *call, Fn &&fn) {
  Udp4Child *child = Udp4Child::FromProtocol(This);
  if (!child)
    return EFI_INVALID_PARAMETER;
  Firmware &fw = child->Controller().Fw();
  CheckTpl(fw, call);
  EFI_STATUS st = EFI_SUCCESS;
  if (fw.Faults().ShouldFail(call, st))
    return st;
  st = fn(*child);
  Settle(fw);
  return st;
}

template <typename Fn>
EFI_STATUS ServeBinding(EFI_SERVICE_BINDING_PROTOCOL *This, const char *call, Fn &&fn) {
  Udp4ControllerImpl *ctl = Udp4ControllerImpl::FromServiceBinding(This);
  if (!ctl)
    return EFI_INVALID_PARAMETER;
  Firmware &fw = ctl->Fw();
  CheckTpl(fw, call);
  EFI_STATUS st = EFI_SUCCESS;
  if (fw.Faults().ShouldFail(call, st))
    return st;
  st = fn(*ctl);
  Settle(fw);
  return st;
}

EFI_STATUS EFIAPI GetModeData(EFI_UDP4_PROTOCOL *This, EFI_UDP4_CONFIG_DATA *Udp4ConfigData,
                              EFI_IP4_MODE_DATA *Ip4ModeData,
                              EFI_MANAGED_NETWORK_CONFIG_DATA *MnpConfigData,
                              EFI_SIMPLE_NETWORK_MODE *SnpModeData) {
  return ServeChild(This, "Udp4.GetModeData", [&](Udp4Child &c) {
    return c.GetModeData(Udp4ConfigData, Ip4ModeData, MnpConfigData, SnpModeData);
  });
}

EFI_STATUS EFIAPI Configure(EFI_UDP4_PROTOCOL *This, EFI_UDP4_CONFIG_DATA *UdpConfigData) {
  return ServeChild(This, "Udp4.Configure",
                    [&](Udp4Child &c) { return c.Configure(UdpConfigData); });
}

EFI_STATUS EFIAPI Groups(EFI_UDP4_PROTOCOL *This, BOOLEAN JoinFlag,
                         EFI_IPv4_ADDRESS *MulticastAddress) {
  return ServeChild(This, "Udp4.Groups",
                    [&](Udp4Child &c) { return c.Groups(JoinFlag != 0, MulticastAddress); });
}

EFI_STATUS EFIAPI Routes(EFI_UDP4_PROTOCOL *This, BOOLEAN, EFI_IPv4_ADDRESS *, EFI_IPv4_ADDRESS *,
                         EFI_IPv4_ADDRESS *) {
  // One flat LAN: there is no routing table to change.
  return ServeChild(This, "Udp4.Routes", [](Udp4Child &) { return EFI_UNSUPPORTED; });
}

EFI_STATUS EFIAPI Transmit(EFI_UDP4_PROTOCOL *This, EFI_UDP4_COMPLETION_TOKEN *Token) {
  return ServeChild(This, "Udp4.Transmit", [&](Udp4Child &c) { return c.Transmit(Token); });
}

EFI_STATUS EFIAPI Receive(EFI_UDP4_PROTOCOL *This, EFI_UDP4_COMPLETION_TOKEN *Token) {
  return ServeChild(This, "Udp4.Receive", [&](Udp4Child &c) { return c.Receive(Token); });
}

EFI_STATUS EFIAPI Cancel(EFI_UDP4_PROTOCOL *This, EFI_UDP4_COMPLETION_TOKEN *Token) {
  return ServeChild(This, "Udp4.Cancel", [&](Udp4Child &c) { return c.Cancel(Token); });
}

EFI_STATUS EFIAPI Poll(EFI_UDP4_PROTOCOL *This) {
  return ServeChild(This, "Udp4.Poll", [&](Udp4Child &c) { return c.Controller().Poll(); });
}

EFI_STATUS EFIAPI CreateChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE *ChildHandle) {
  return ServeBinding(This, "Udp4Sb.CreateChild",
                      [&](Udp4ControllerImpl &c) { return c.CreateChild(ChildHandle); });
}

EFI_STATUS EFIAPI DestroyChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE ChildHandle) {
  return ServeBinding(This, "Udp4Sb.DestroyChild",
                      [&](Udp4ControllerImpl &c) { return c.DestroyChild(ChildHandle); });
}

} // namespace

const EFI_UDP4_PROTOCOL &Udp4ProtocolTable() {
  static const EFI_UDP4_PROTOCOL table = {GetModeData, Configure, Groups, Routes,
                                          Transmit,    Receive,   Cancel, Poll};
  return table;
}

const EFI_SERVICE_BINDING_PROTOCOL &Udp4ServiceBindingTable() {
  static const EFI_SERVICE_BINDING_PROTOCOL table = {CreateChild, DestroyChild};
  return table;
}

} // namespace zem4::host
