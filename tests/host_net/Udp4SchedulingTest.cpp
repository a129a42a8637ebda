// Many UDP4 controllers on one simulated network: a tick services only the
// controllers with work (a send to complete, a datagram for a posted
// receive), in the order they were added, so their completions notify in
// that order whatever order the work came in; a controller with nothing to
// do, or only a held send or an unasked datagram, is not serviced at all.
// Endpoints get their datagrams in opening order, not arrival order.
#include "tests/host_net/Udp4Fixture.h"

#include <algorithm>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

constexpr size_t kControllers = 6;
constexpr uint16_t kPort = 1000;
constexpr uint16_t kPeerPort = 69;

enum class Work {
  Send,        // a transmit, completed at the next tick
  HeldSend,    // a transmit on a child whose sends are held
  Receive,     // a receive posted and a datagram for it
  ReceiveOnly, // a receive posted, nothing comes
  ArrivalOnly, // a datagram comes, no receive is posted
};

struct Step {
  size_t controller;
  Work work;
};

struct SchedulingCase {
  const char *name;
  std::vector<Step> steps;
  std::vector<size_t> firstOrder; // completions of the tick after the steps
  uint64_t firstServices;         // controllers serviced by that tick
  // Then: a held send is released, else a receive posted, on these.
  std::vector<size_t> then;
  std::vector<size_t> thenOrder;
  uint64_t thenServices;
};

class Udp4Scheduling : public Udp4Fixture, public ::testing::WithParamInterface<SchedulingCase> {
protected:
  struct Slot {
    Udp4Scheduling *self = nullptr;
    size_t controller = 0;
    bool receive = false;
    EFI_UDP4_COMPLETION_TOKEN token{};
  };
  static VOID EFIAPI Notify(EFI_EVENT, VOID *context) {
    auto *slot = static_cast<Slot *>(context);
    slot->self->order_.push_back(slot->controller);
  }
  Slot &NewSlot(size_t controller) {
    slots_.push_back(std::make_unique<Slot>());
    Slot &s = *slots_.back();
    s.self = this;
    s.controller = controller;
    EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Notify, &s, &s.token.Event),
              EFI_SUCCESS);
    return s;
  }
  static host::Ipv4 Address(size_t i) { return host::Ipv4(10, 0, 0, uint8_t(10 + i)); }
  // Controller services made by one tick, the network's own left out.
  uint64_t TickServices() {
    const uint64_t before = Fw().DeviceServices();
    Fw().Tick();
    return Fw().DeviceServices() - before - 1;
  }
  void PostReceive(Slot &slot) {
    slot.receive = true;
    EFI_UDP4_PROTOCOL *udp = children_[slot.controller].udp;
    ASSERT_EQ(udp->Receive(udp, &slot.token), EFI_SUCCESS);
  }

  std::vector<size_t> order_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<Child> children_;
};

TEST_P(Udp4Scheduling, OnlyControllersWithWorkAreServicedInAddingOrder) {
  const SchedulingCase &c = GetParam();
  host::PeerPort &peer = Peer(kServerIp, kPeerPort);
  std::vector<host::Udp4Controller *> controllers;
  for (size_t i = 0; i < kControllers; ++i) {
    controllers.push_back(&Controller(Address(i)));
    children_.push_back(CreateChild(*controllers.back()));
    EFI_UDP4_CONFIG_DATA config = Config(Address(i), kPort);
    ASSERT_EQ(children_[i].udp->Configure(children_[i].udp, &config), EFI_SUCCESS);
  }
  // Events first: CreateEvent ticks, and the work must wait for the tick
  // under test.
  std::vector<Slot *> stepSlots, thenSlots;
  for (const Step &s : c.steps)
    stepSlots.push_back(&NewSlot(s.controller));
  for (size_t i : c.then)
    thenSlots.push_back(&NewSlot(i));
  Fw().Tick(); // a new controller is looked at once, then sleeps
  ASSERT_EQ(TickServices(), 0u);

  std::vector<std::unique_ptr<TxData>> sends;
  const std::vector<uint8_t> payload = {0x00, 0x04, 0x00, 0x01};
  for (size_t n = 0; n < c.steps.size(); ++n) {
    const Step &s = c.steps[n];
    Slot &slot = *stepSlots[n];
    EFI_UDP4_PROTOCOL *udp = children_[s.controller].udp;
    switch (s.work) {
    case Work::HeldSend:
      ASSERT_TRUE(controllers[s.controller]->SetSendCompletion(children_[s.controller].handle,
                                                               host::SendCompletion::Held));
      [[fallthrough]];
    case Work::Send: {
      sends.push_back(std::make_unique<TxData>(std::vector<std::vector<uint8_t>>{payload}));
      slot.token.Packet.TxData = sends.back()->To(kServerIp, kPeerPort).Get();
      ASSERT_EQ(udp->Transmit(udp, &slot.token), EFI_SUCCESS);
      break;
    }
    case Work::Receive:
    case Work::ReceiveOnly:
    case Work::ArrivalOnly:
      if (s.work != Work::ArrivalOnly)
        PostReceive(slot);
      if (s.work != Work::ReceiveOnly) {
        ASSERT_EQ(peer.Send(Address(s.controller), kPort, payload), host::NetStatus::Ok);
      }
      break;
    }
  }
  EXPECT_EQ(TickServices(), c.firstServices);
  EXPECT_EQ(order_, c.firstOrder);

  order_.clear();
  for (size_t n = 0; n < c.then.size(); ++n) {
    const size_t i = c.then[n];
    const bool held = std::any_of(c.steps.begin(), c.steps.end(), [&](const Step &s) {
      return s.controller == i && s.work == Work::HeldSend;
    });
    if (held)
      ASSERT_TRUE(
          controllers[i]->SetSendCompletion(children_[i].handle, host::SendCompletion::NextTick));
    else
      PostReceive(*thenSlots[n]);
  }
  EXPECT_EQ(TickServices(), c.thenServices);
  EXPECT_EQ(order_, c.thenOrder);
  EXPECT_EQ(TickServices(), 0u) << "nothing left to do";

  for (Child &child : children_)
    child.udp->Cancel(child.udp, nullptr);
  for (auto &slot : slots_)
    if (slot->receive && slot->token.Status == EFI_SUCCESS && slot->token.Packet.RxData)
      Bs()->SignalEvent(slot->token.Packet.RxData->RecycleSignal);
  Fw().Tick();
  for (auto &slot : slots_)
    Bs()->CloseEvent(slot->token.Event);
}

const SchedulingCase kSchedulingCases[] = {
    {"SendsCompleteInAddingOrder",
     {{4, Work::Send}, {1, Work::Send}, {3, Work::Send}},
     {1, 3, 4},
     3,
     {},
     {},
     0},
    {"ReceivesCompleteInAddingOrder",
     {{5, Work::Receive}, {0, Work::Receive}, {2, Work::Receive}},
     {0, 2, 5},
     3,
     {},
     {},
     0},
    {"SendsAndReceivesMixed",
     {{3, Work::Receive}, {2, Work::Send}, {0, Work::Receive}, {5, Work::Send}},
     {0, 2, 3, 5},
     4,
     {},
     {},
     0},
    {"AReceiveWithNothingComingIsNoWork",
     {{1, Work::ReceiveOnly}, {4, Work::ReceiveOnly}, {2, Work::Send}},
     {2},
     1,
     {},
     {},
     0},
    {"AnUnaskedDatagramWaitsForItsReceive",
     {{3, Work::ArrivalOnly}, {1, Work::ArrivalOnly}, {5, Work::Send}},
     {5},
     1,
     {3, 1},
     {1, 3},
     2},
    {"AHeldSendIsNoWorkUntilReleased", {{2, Work::HeldSend}, {4, Work::Send}}, {4}, 1, {2}, {2}, 1},
};

INSTANTIATE_TEST_SUITE_P(Controllers, Udp4Scheduling, ::testing::ValuesIn(kSchedulingCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Datagrams that reach several endpoints at once are handed over endpoint by
// endpoint in the order the endpoints were opened.
TEST_F(Udp4Fixture, EndpointsGetTheirDatagramsInOpeningOrder) {
  std::vector<int> got;
  std::vector<std::unique_ptr<host::PeerPort>> endpoints;
  for (int i = 0; i < 4; ++i)
    endpoints.push_back(Net().OpenPeerPort(
        kServerIp, uint16_t(2000 + i),
        [&got, i](const host::Datagram &, host::Time100ns) { got.push_back(i); }));
  host::PeerPort &sender = Peer(kOtherIp, 7);
  const std::vector<uint8_t> payload = {1};
  for (int i : {3, 1, 3, 0})
    ASSERT_EQ(sender.Send(kServerIp, uint16_t(2000 + i), payload), host::NetStatus::Ok);
  Fw().Tick();
  EXPECT_EQ(got, (std::vector<int>{0, 1, 3, 3}));
  got.clear();
  Fw().Tick();
  EXPECT_TRUE(got.empty());
}

} // namespace
} // namespace zem4::test
