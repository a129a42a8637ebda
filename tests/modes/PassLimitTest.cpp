// How many passes a transfer runs: a FIN that starts a new pass gives it a
// fresh retry count, and a server that ends pass after pass without a block
// is given up on after eight of them in a row.
#include "tests/modes/McastModeFixture.h"

#include <ostream>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

enum class Role { Unicast, Active, Passive };

std::string RoleName(Role role) {
  return role == Role::Unicast ? "Unicast" : role == Role::Active ? "Active" : "Passive";
}

// A member that waited a long while for its turn: 200 s without a datagram
// (within every mode's own limit), then the pass ends with blocks missing.
class QuietSpellTest : public McastModeTest, public ::testing::WithParamInterface<Role> {};

TEST_P(QuietSpellTest, NewPassAfterAQuietSpellRetransmitsInsteadOfTimingOut) {
  Start(Caller::Stream);
  if (GetParam() == Role::Passive) {
    EnterPassive();
  } else {
    FromServer(McastOack(1));
    ASSERT_EQ(SentOne(), RplPacket(1, {{1, 0xFFFFFFFFu}}));
  }
  FromGroup(Full(1, 1));
  RunFor(200 * kSecond);
  ASSERT_FALSE(Finished());
  ASSERT_GT(Probe().RetryCount(), Probe().MaxRetry() / 2);
  Sent();

  FromGroup(FinPacket(0));
  ASSERT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(Probe().RetryCount(), 0u);
  EXPECT_EQ(SentOne(), RrqPacket("file.bin"));
  // The first period of Init's timer repeats the request.
  RunFor(3 * kSecond + kMs);
  EXPECT_FALSE(Finished()) << "status " << done_.status;
  EXPECT_EQ(CountLog("Zem4RrqInitTimer: too many retries to send request\n"), 0u);
  EXPECT_EQ(SentOne(), RrqPacket("file.bin"));
  EXPECT_EQ(Probe().RetryCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Roles, QuietSpellTest, ::testing::Values(Role::Active, Role::Passive),
                         [](const auto &info) { return RoleName(info.param); });

// A server that answers each request and then ends the pass at once. `data`
// says, pass by pass, whether it sends a block first (later passes: none).
struct PassCase {
  const char *name;
  Role role;
  std::vector<bool> data;
  size_t requests; // requests the client sends in all
};

void PrintTo(const PassCase &c, std::ostream *os) {
  *os << c.name;
}

constexpr size_t kServerGivesUp = 64;

class EmptyPassTest : public McastModeTest, public ::testing::WithParamInterface<PassCase> {
protected:
  void Serve(ScriptedServer &server, const ScriptedServer::Received &received) {
    const Bytes &p = received.datagram.payload;
    const PassCase &c = GetParam();
    auto reply = [&](const Bytes &bytes) {
      server.SendFrom(kDataPort, kClientIp, received.datagram.srcPort, bytes);
    };
    if (p.size() >= 2 && p[1] == 1) { // a request: one pass
      // Far past the limit the server falls silent, so that a client that
      // would ask for ever is still seen to fail in bounded time.
      size_t pass = requests_++;
      EXPECT_EQ(p, RrqPacket("file.bin")) << "request " << requests_;
      if (pass >= kServerGivesUp) {
        return;
      }
      bool data = pass < c.data.size() && c.data[pass];
      if (c.role == Role::Passive) {
        reply(McastOack(0));
        if (data) {
          // On the unicast port (the group's port opens only with the OACK):
          // a listener keeps nothing from there, but the pass was not empty.
          reply(Full(1, 1));
        }
        reply(FinPacket(0));
      } else {
        reply(c.role == Role::Unicast ? OackPacket() : McastOack(1));
        pendingData_ = data;
      }
    } else if (p.size() >= 2 && p[1] == 10) { // the repair list of an acknowledging client
      if (pendingData_) {
        reply(Full(1, ++block_));
        pendingData_ = false;
      }
      reply(FinPacket(0));
    }
  }
  size_t requests_ = 0;
  uint32_t block_ = 0;
  bool pendingData_ = false;
};

TEST_P(EmptyPassTest, EightEmptyPassesInARowEndWithTimeout) {
  const PassCase &c = GetParam();
  server_->SetHandler([this](ScriptedServer &s, const auto &r) { Serve(s, r); });
  Start(Caller::Stream);
  ASSERT_TRUE(RunToEnd(60 * kSecond)) << requests_ << " requests so far";
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
  EXPECT_EQ(requests_, c.requests);
  EXPECT_EQ(CountLog("Zem4RrqRcvFin: too many passes without data\n"), 1u);
  // What did come reached the caller, in order.
  Bytes expected(file_.begin(), file_.begin() + block_ * 1032);
  EXPECT_TRUE(sink_.All() == expected);
  RunFor(10 * kSecond);
  EXPECT_EQ(requests_, c.requests) << "nothing more after the end";
  EXPECT_EQ(done_.count, 1);
}

const std::vector<bool> kDataAtEight = {false, false, false, false, false, false, false, true};

INSTANTIATE_TEST_SUITE_P(
    Servers, EmptyPassTest,
    ::testing::Values(PassCase{"UnicastNeverSends", Role::Unicast, {}, 8},
                      PassCase{"ActiveNeverSends", Role::Active, {}, 8},
                      PassCase{"PassiveNeverSends", Role::Passive, {}, 8},
                      PassCase{"UnicastBlockInPassEight", Role::Unicast, kDataAtEight, 16},
                      PassCase{"PassiveBlockInPassEight", Role::Passive, kDataAtEight, 16}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace zem4::test
