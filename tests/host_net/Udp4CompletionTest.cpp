// When and in what order UDP4 completes tokens: sends later than Transmit, in
// order, out of order or held until aborted; several receive tokens served in
// the order they were posted; a completion on a closed event recorded.
#include "tests/host_net/Udp4Fixture.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

using host::Ipv4;
using host::SendCompletion;

// Tokens whose notifications append their index to one shared log.
class TokenSet {
public:
  TokenSet(host::Firmware &fw, size_t n) : fw_(fw), slots_(n) {
    for (size_t i = 0; i < n; ++i) {
      slots_[i].set = this;
      slots_[i].index = int(i);
      EXPECT_EQ(fw.BootServices()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &Notify, &slots_[i],
                                               &slots_[i].token.Event),
                EFI_SUCCESS);
      slots_[i].token.Status = EFI_NOT_READY;
    }
  }
  ~TokenSet() {
    for (Slot &s : slots_)
      if (s.token.Event && fw_.IsEvent(s.token.Event))
        fw_.BootServices()->CloseEvent(s.token.Event);
  }
  EFI_UDP4_COMPLETION_TOKEN &operator[](size_t i) { return slots_[i].token; }
  // Without the tick a Boot Services call makes, which would complete sends.
  void Close(size_t i) { fw_.CloseEvent(slots_[i].token.Event); }
  size_t Size() const { return slots_.size(); }
  std::vector<int> order;

private:
  struct Slot {
    TokenSet *set = nullptr;
    int index = 0;
    EFI_UDP4_COMPLETION_TOKEN token{};
  };
  static VOID EFIAPI Notify(EFI_EVENT, VOID *context) {
    auto *slot = static_cast<Slot *>(context);
    slot->set->order.push_back(slot->index);
  }
  host::Firmware &fw_;
  std::vector<Slot> slots_;
};

std::vector<uint8_t> Bytes1(uint8_t v) {
  return {v};
}

class Udp4CompletionTest : public Udp4Fixture {
protected:
  // A configured child on its own controller (connected to the server).
  Child Configured(host::Udp4Controller &ctl, uint16_t port = 1000) {
    Child c = CreateChild(ctl);
    EFI_UDP4_CONFIG_DATA cfg = Config(ctl.Address(), port, kServerIp, 5568);
    EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
    return c;
  }
  // Sends one datagram per token (payload = its index); none completes inside.
  void SendAll(Child &c, TokenSet &tokens, std::vector<TxData> &data) {
    data.clear();
    data.reserve(tokens.Size());
    for (size_t i = 0; i < tokens.Size(); ++i) {
      data.emplace_back(std::vector<std::vector<uint8_t>>{Bytes1(uint8_t(i))});
      tokens[i].Packet.TxData = data.back().Get();
      ASSERT_EQ(c.udp->Transmit(c.udp, &tokens[i]), EFI_SUCCESS);
      EXPECT_TRUE(tokens.order.empty()) << "completed inside Transmit";
      EXPECT_EQ(tokens[i].Status, EFI_NOT_READY);
    }
  }
  static std::vector<int> Identity(size_t n) {
    std::vector<int> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
  }
};

TEST_F(Udp4CompletionTest, ByDefaultSendsCompleteAtTheNextPollInOrder) {
  auto &ctl = Controller(kClientIp);
  Child c = Configured(ctl);
  TokenSet tokens(Fw(), 5);
  std::vector<TxData> data;
  SendAll(c, tokens, data);
  EXPECT_EQ(Net().Capture().size(), 5u) << "on the wire at once";
  ASSERT_EQ(c.udp->Poll(c.udp), EFI_SUCCESS);
  EXPECT_EQ(tokens.order, Identity(5));
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(tokens[i].Status, EFI_SUCCESS);
  // A timer tick (any Boot Services call) completes them as well.
  TokenSet more(Fw(), 1);
  std::vector<TxData> moreData;
  SendAll(c, more, moreData);
  void *p = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 4, &p), EFI_SUCCESS);
  EXPECT_EQ(more.order, std::vector<int>{0});
  Bs()->FreePool(p);
}

TEST_F(Udp4CompletionTest, OutOfOrderSendsAllCompleteShuffledAndOneSeedGivesOneOrder) {
  host::Udp4ControllerOptions options;
  options.sendCompletion = SendCompletion::OutOfOrder;
  options.seed = 77;
  auto &a = Controller(kClientIp, options);
  auto &b = Controller(kOtherIp, options);
  Child ca = Configured(a), cb = Configured(b);
  TokenSet ta(Fw(), 8), tb(Fw(), 8);
  std::vector<TxData> da, db;
  SendAll(ca, ta, da);
  ASSERT_EQ(ca.udp->Poll(ca.udp), EFI_SUCCESS);
  EXPECT_LT(ta.order.size(), 8u) << "some held back past the first tick";
  // Never more than three ticks passed over: four polls end them all.
  for (int i = 0; i < 3; ++i)
    ca.udp->Poll(ca.udp);
  ASSERT_EQ(ta.order.size(), 8u);
  std::vector<int> sorted = ta.order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, Identity(8)) << "each exactly once";
  EXPECT_NE(ta.order, Identity(8));
  for (size_t i = 0; i < 8; ++i)
    EXPECT_EQ(ta[i].Status, EFI_SUCCESS);
  SendAll(cb, tb, db);
  for (int i = 0; i < 4; ++i)
    cb.udp->Poll(cb.udp);
  EXPECT_EQ(tb.order, ta.order) << "the same seed, the same order";
}

TEST_F(Udp4CompletionTest, HeldSendsWaitUntilCancelOrConfigureNullAbortsThem) {
  host::Udp4ControllerOptions options;
  options.sendCompletion = SendCompletion::Held;
  auto &ctl = Controller(kClientIp, options);
  Child c = Configured(ctl);
  TokenSet tokens(Fw(), 3);
  std::vector<TxData> data;
  SendAll(c, tokens, data);
  for (int i = 0; i < 20; ++i)
    c.udp->Poll(c.udp);
  Fw().AdvanceBy(100'000'000); // 10 s
  EXPECT_TRUE(tokens.order.empty());
  EXPECT_EQ(Net().Capture().size(), 3u) << "the datagrams went out all the same";
  ASSERT_EQ(c.udp->Cancel(c.udp, &tokens[1]), EFI_SUCCESS);
  EXPECT_EQ(tokens.order, std::vector<int>{1});
  EXPECT_EQ(tokens[1].Status, EFI_ABORTED);
  ASSERT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(tokens.order, (std::vector<int>{1, 0, 2}));
  EXPECT_EQ(tokens[0].Status, EFI_ABORTED);
  EXPECT_EQ(tokens[2].Status, EFI_ABORTED);
}

TEST_F(Udp4CompletionTest, AChildsOwnSettingOverridesTheControllersAndHeldSendsEndWithTheChild) {
  host::Udp4ControllerOptions options;
  options.sendCompletion = SendCompletion::Held;
  auto &ctl = Controller(kClientIp, options);
  Child quick = Configured(ctl, 1000), held = Configured(ctl, 1001);
  ASSERT_TRUE(ctl.SetSendCompletion(quick.handle, SendCompletion::NextTick));
  EXPECT_FALSE(ctl.SetSendCompletion(ctl.Handle(), SendCompletion::NextTick)) << "not a child";
  TokenSet tq(Fw(), 2), th(Fw(), 2);
  std::vector<TxData> dq, dh;
  SendAll(quick, tq, dq);
  SendAll(held, th, dh);
  quick.udp->Poll(quick.udp);
  EXPECT_EQ(tq.order, Identity(2));
  EXPECT_TRUE(th.order.empty());
  // Destroying the child aborts what it still holds.
  ASSERT_EQ(ctl.ServiceBinding()->DestroyChild(ctl.ServiceBinding(), held.handle), EFI_SUCCESS);
  EXPECT_EQ(th.order, Identity(2));
  EXPECT_EQ(th[0].Status, EFI_ABORTED);
  EXPECT_EQ(th[1].Status, EFI_ABORTED);
  // Back to completing: what is held completes at the next tick.
  Child again = Configured(ctl, 1002);
  TokenSet tg(Fw(), 1);
  std::vector<TxData> dg;
  SendAll(again, tg, dg);
  again.udp->Poll(again.udp);
  EXPECT_TRUE(tg.order.empty());
  ctl.SetSendCompletion(SendCompletion::NextTick);
  again.udp->Poll(again.udp);
  EXPECT_EQ(tg.order, std::vector<int>{0});
  EXPECT_EQ(tg[0].Status, EFI_SUCCESS);
}

TEST_F(Udp4CompletionTest, SeveralReceiveTokensAreServedInTheOrderTheyWerePosted) {
  host::Udp4ControllerOptions options;
  options.receiveQueueLimit = 4;
  auto &ctl = Controller(kClientIp, options);
  Child c = Configured(ctl);
  TokenSet rx(Fw(), 5);
  for (size_t i = 0; i < 4; ++i)
    ASSERT_EQ(c.udp->Receive(c.udp, &rx[i]), EFI_SUCCESS) << i;
  EXPECT_EQ(c.udp->Receive(c.udp, &rx[4]), EFI_NOT_READY) << "the queue is full";
  EXPECT_EQ(c.udp->Receive(c.udp, &rx[2]), EFI_ACCESS_DENIED) << "the same token twice";
  EFI_UDP4_COMPLETION_TOKEN sameEvent{};
  sameEvent.Event = rx[0].Event;
  EXPECT_EQ(c.udp->Receive(c.udp, &sameEvent), EFI_ACCESS_DENIED) << "the same event twice";
  // One taken out of the middle: the others keep their places.
  ASSERT_EQ(c.udp->Cancel(c.udp, &rx[1]), EFI_SUCCESS);
  EXPECT_EQ(rx.order, std::vector<int>{1});
  EXPECT_EQ(rx[1].Status, EFI_ABORTED);
  EXPECT_EQ(rx[1].Packet.RxData, nullptr);

  auto &server = Peer(kServerIp, 5568);
  for (uint8_t v : {10, 11, 12})
    server.Send(kClientIp, 1000, Bytes1(v));
  PollUntil(c.udp, [&] { return rx.order.size() == 4; });
  EXPECT_EQ(rx.order, (std::vector<int>{1, 0, 2, 3}));
  const size_t posted[] = {0, 2, 3};
  for (size_t k = 0; k < 3; ++k) {
    EFI_UDP4_COMPLETION_TOKEN &t = rx[posted[k]];
    ASSERT_EQ(t.Status, EFI_SUCCESS);
    ASSERT_NE(t.Packet.RxData, nullptr);
    EXPECT_EQ(static_cast<uint8_t *>(t.Packet.RxData->FragmentTable[0].FragmentBuffer)[0], 10 + k);
  }
  EXPECT_EQ(ctl.Unrecycled(), 3u);
  for (size_t k : posted)
    Bs()->SignalEvent(rx[k].Packet.RxData->RecycleSignal);
  EXPECT_EQ(ctl.Unrecycled(), 0u);
}

TEST_F(Udp4CompletionTest, ReceivesWithoutDatagramsAllEndAbortedInOrder) {
  auto &ctl = Controller(kClientIp);
  Child c = Configured(ctl);
  TokenSet rx(Fw(), 3);
  for (size_t i : {2, 0, 1})
    ASSERT_EQ(c.udp->Receive(c.udp, &rx[i]), EFI_SUCCESS);
  ASSERT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(rx.order, (std::vector<int>{2, 0, 1}));
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(rx[i].Status, EFI_ABORTED);
}

// A token whose event the caller closed while UDP4 still held it: each way
// UDP4 can complete it records the line, still sets the status, and signals
// nothing.
struct ClosedEventCase {
  const char *name;
  bool receive;
  std::function<void(EFI_SERVICE_BINDING_PROTOCOL *, EFI_HANDLE, EFI_UDP4_PROTOCOL *,
                     EFI_UDP4_COMPLETION_TOKEN &)>
      complete;
  EFI_STATUS status;
};

class ClosedEventTest : public Udp4CompletionTest,
                        public ::testing::WithParamInterface<ClosedEventCase> {};

TEST_P(ClosedEventTest, IsAViolation) {
  ExpectViolations();
  const ClosedEventCase &p = GetParam();
  auto &ctl = Controller(kClientIp);
  Child c = Configured(ctl);
  TokenSet tokens(Fw(), 1);
  TxData data({Bytes1(1)});
  if (p.receive) {
    ASSERT_EQ(c.udp->Receive(c.udp, &tokens[0]), EFI_SUCCESS);
  } else {
    tokens[0].Packet.TxData = data.Get();
    ASSERT_EQ(c.udp->Transmit(c.udp, &tokens[0]), EFI_SUCCESS);
  }
  tokens.Close(0);
  p.complete(ctl.ServiceBinding(), c.handle, c.udp, tokens[0]);
  EXPECT_EQ(tokens[0].Status, p.status);
  EXPECT_TRUE(tokens.order.empty());
  EXPECT_EQ(Fw().Violations(),
            std::vector<std::string>{std::string(p.receive ? "Udp4.Receive" : "Udp4.Transmit") +
                                     " token completed on a closed event"});
  EXPECT_EQ(ctl.Unrecycled(), 0u);
}

const ClosedEventCase kClosedEventCases[] = {
    {"ReceiveEndedByConfigureNull", true,
     [](auto *, EFI_HANDLE, auto *u, auto &) { u->Configure(u, nullptr); }, EFI_ABORTED},
    {"ReceiveEndedByCancel", true, [](auto *, EFI_HANDLE, auto *u, auto &t) { u->Cancel(u, &t); },
     EFI_ABORTED},
    {"ReceiveEndedByDestroyChild", true,
     [](auto *sb, EFI_HANDLE h, auto *, auto &) { sb->DestroyChild(sb, h); }, EFI_ABORTED},
    {"TransmitCompletedByPoll", false, [](auto *, EFI_HANDLE, auto *u, auto &) { u->Poll(u); },
     EFI_SUCCESS},
    {"TransmitEndedByCancel", false,
     [](auto *, EFI_HANDLE, auto *u, auto &) { u->Cancel(u, nullptr); }, EFI_ABORTED},
};

INSTANTIATE_TEST_SUITE_P(Udp4, ClosedEventTest, ::testing::ValuesIn(kClosedEventCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace zem4::test
