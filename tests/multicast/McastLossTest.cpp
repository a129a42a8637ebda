// Multicast downloads over a network that loses, duplicates and reorders
// datagrams, on every member or on one, from fixed seeds. Passive members
// repair their gaps in later passes; every member ends with the exact file.
#include "tests/multicast/McastFixture.h"

#include <cstdio>
#include <cstdlib>

namespace zem4::test::mcast {
namespace {

enum class Scope { All, Active, OnePassive };

struct LossCase {
  double rate;
  Scope scope;
  Caller caller;
  uint64_t seed;
};

std::string Name(const ::testing::TestParamInfo<LossCase> &info) {
  const LossCase &c = info.param;
  const char *scope = c.scope == Scope::All      ? "AllMembers"
                      : c.scope == Scope::Active ? "Active"
                                                 : "OnePassive";
  const char *caller = c.caller == Caller::Stream   ? "Stream"
                       : c.caller == Caller::Buffer ? "Buffer"
                                                    : "BufferAndCheck";
  return std::string(caller) + "Rate" + std::to_string(int(c.rate * 100 + 0.5)) + scope + "Seed" +
         std::to_string(c.seed);
}

class McastLossTest : public SeededMcastTest<LossCase> {};

TEST_P(McastLossTest, EveryMemberEndsWithTheExactFile) {
  const LossCase &c = GetParam();
  const size_t size = 150 * kBlock + 333;
  Bytes file = Serve("file.bin", size, static_cast<uint32_t>(c.seed));
  ASSERT_TRUE(AddMembers(4, size, [&c](size_t) { return c.caller; }));
  host::FaultProfile profile = Lan();
  profile.loss = c.rate;
  profile.duplicate = c.rate;
  profile.reorder = c.rate;
  if (c.scope == Scope::All) {
    host_->Net().SetDefaultProfile(profile);
  } else {
    // What reaches the member and what it sends.
    host::Ipv4 target = (*group_)[c.scope == Scope::Active ? 0 : 2].address;
    host::FlowMatch in;
    in.receiver = target;
    host::FlowMatch out;
    out.src = target;
    host_->Net().AddFlowProfile(in, profile);
    host_->Net().AddFlowProfile(out, profile);
  }
  ASSERT_TRUE(StartAll());
  ASSERT_TRUE(group_->RunUntilDone(3600 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  for (auto &m : group_->Members()) {
    auto report = ReportFor(*m);
    ASSERT_TRUE(report.has_value()) << m->Name() << " " << host_->Net().Describe();
    EXPECT_TRUE(report->Success) << m->Name() << " " << report->Outcome << " "
                                 << host_->Net().Describe();
  }
  if (HasFailure() && std::getenv("ZEM4_MCAST_TRACE") != nullptr) {
    for (auto &m : group_->Members()) {
      if (m->token.Status != EFI_SUCCESS) {
        std::printf("%s\n%s", m->Name().c_str(), Trace(m->address).c_str());
      }
    }
    for (const std::string &line : host_->LogTexts()) {
      std::printf("log: %s", line.c_str());
    }
  }
  if (c.rate >= 0.05) {
    EXPECT_GT(host_->Net().Stats().lost, 0u) << "the faults were in play";
  }
}

std::vector<LossCase> Cases() {
  std::vector<LossCase> out;
  uint64_t seed = 4100, checkSeed = 4200;
  for (double rate : {0.01, 0.05, 0.20}) {
    for (Scope scope : {Scope::All, Scope::Active, Scope::OnePassive}) {
      for (Caller caller : {Caller::Buffer, Caller::Stream, Caller::BufferAndCheck}) {
        out.push_back(
            {rate, scope, caller, caller == Caller::BufferAndCheck ? checkSeed++ : seed++});
      }
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Rates, McastLossTest, ::testing::ValuesIn(Cases()), Name);

// The client repeats its first repair list every 3 s; two of them lost in a
// row must not strand it. (Found by the 20 % case with seed 4117: a group's
// session waiting for its active member's RPL 1 gave up after 10 time-outs
// of 500 ms, 5.5 s, before the client's second repeat at 6 s; the client
// then sent RPLs to a closed port until it timed out 300 s later. The
// server now waits 15 s for a repair list.)
class McastLostRplTest : public McastFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(McastLostRplTest, TwoLostFirstRepairListsStillEndWithTheFile) {
  const bool multicast = GetParam();
  const size_t size = 40 * kBlock + 1;
  Bytes file = Serve("file.bin", size);
  Member *m = Add(Caller::Buffer, size, "file.bin", multicast);
  ASSERT_NE(m, nullptr);
  // Everything the member sends is lost but its requests to the listening
  // port, until both the first RPL and its first repeat are gone.
  host::FaultProfile lost = Lan();
  lost.loss = 1.0;
  host::FlowMatch fromMember;
  fromMember.src = m->address;
  host::FlowMatch requests = fromMember;
  requests.dstPort = 5568;
  host_->Net().AddFlowProfile(fromMember, lost);
  host_->Net().AddFlowProfile(requests, Lan());
  ASSERT_EQ(group_->Start(*m), EFI_SUCCESS);
  host_->RunUntil([] { return false; }, 5 * kSecond);
  ASSERT_EQ(m->Probe().State(), TransferState::Rpl);
  host_->Net().ClearFlowProfiles();

  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond));
  EXPECT_EQ(m->token.Status, EFI_SUCCESS) << Trace(m->address, 12, false);
  EXPECT_EQ(Group::Compare(*m, file), "");
}

INSTANTIATE_TEST_SUITE_P(Roles, McastLostRplTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return std::string(info.param ? "Multicast" : "Unicast");
                         });

// The active member's request duplicated by the network, the copy arriving
// after the member's RPL has started the data. (Found by a sweep at 20 %
// loss, duplication and reordering, seed 54: the server took the late copy
// for a client starting over, began a new pass with an OACK that the member,
// already receiving data, ignores, abandoned it 5.5 s later, and the member
// acknowledged into a closed port until EFI_TIMEOUT. Seed 2 below reproduced
// it until the server learnt to tell a late copy from a new request.)
class McastDuplicateRrqTest : public McastFixture, public ::testing::WithParamInterface<uint64_t> {
protected:
  void SetUp() override { Init(GetParam()); }
};

TEST_P(McastDuplicateRrqTest, ALateCopyOfTheActiveMembersRequestDoesNotStrandIt) {
  const size_t size = 300 * kBlock + 9;
  Bytes file = Serve("file.bin", size);
  Member *m = Add(Caller::Buffer, size);
  ASSERT_NE(m, nullptr);
  // Its acknowledgements take 2 ms, so the pass takes a while; its request
  // arrives twice, each copy up to 40 ms late.
  host::FaultProfile slow = Lan();
  slow.delay = 2 * kMs;
  host::FaultProfile twice = slow;
  twice.duplicate = 1.0;
  twice.jitter = 40 * kMs;
  host::FlowMatch fromMember;
  fromMember.src = m->address;
  host::FlowMatch requests = fromMember;
  requests.dstPort = 5568;
  host_->Net().AddFlowProfile(fromMember, slow);
  host_->Net().AddFlowProfile(requests, twice);
  ASSERT_EQ(group_->Start(*m), EFI_SUCCESS);
  ASSERT_TRUE(
      host_->RunUntil([&] { return m->Probe().State() == TransferState::Receiving; }, kSecond));
  host_->Net().ClearFlowProfiles();

  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond));
  EXPECT_EQ(m->token.Status, EFI_SUCCESS) << Trace(m->address, 12, false);
  EXPECT_EQ(Group::Compare(*m, file), "");
}

INSTANTIATE_TEST_SUITE_P(Seeds, McastDuplicateRrqTest, ::testing::Values(1, 2, 3, 4, 5, 6));

} // namespace
} // namespace zem4::test::mcast
