// A host firmware with the driver loaded, the server's real engine at
// 127.0.9.1 on the simulated network, and a group of members. Every test
// ends with nothing live in the firmware.
#pragma once

#include "tests/common/EngineServer.h"
#include "tests/multicast/McastGroup.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace zem4::test::mcast {

inline std::string JoinLines(const std::vector<std::string> &lines) {
  std::string out;
  for (const auto &line : lines) {
    out += "  " + line + "\n";
  }
  return out;
}

class McastFixture : public ::testing::Test {
protected:
  // A test that wants its own seed calls Init before anything else.
  void Init(uint64_t seed) {
    host_ = std::make_unique<DriverHost>(seed);
    ASSERT_EQ(host_->Load(), EFI_SUCCESS);
    server_ = std::make_unique<EngineServer>(host_->Fw(), host_->Net(), kServer);
    group_ = std::make_unique<Group>(*host_);
    // A LAN's latency: without it a whole exchange can run inside the Boot
    // Services calls of one member's ReadFile, before the next member asks.
    host_->Net().SetDefaultProfile(Lan());
  }
  static host::FaultProfile Lan() {
    host::FaultProfile profile;
    profile.delay = 2 * kMs / 10; // 200 us
    return profile;
  }
  void SetUp() override { Init(1); }
  void TearDown() override {
    if (!host_) {
      return;
    }
    group_.reset();
    server_.reset();
    std::vector<std::string> leaks = host_->TearDown();
    if (checkLeaks_) {
      EXPECT_TRUE(leaks.empty()) << JoinLines(leaks);
    }
    host_.reset();
  }

  // A file on the server, `size` bytes.
  Bytes Serve(const std::string &name, size_t size, uint32_t seed = 7) {
    Bytes file = MakeFile(size, seed);
    server_->Files().Add(name, file);
    return file;
  }

  // Null (with a failure recorded) when the member could not be made.
  Member *Add(Caller caller, size_t fileSize, const std::string &file = "file.bin",
              bool multicast = true) {
    Member *m = group_->Add(caller, file, fileSize, multicast);
    EXPECT_NE(m, nullptr) << "member " << group_->Members().size() << " not made";
    return m;
  }

  // `count` members for a file of `size` bytes, member i as `callerOf(i)`.
  ::testing::AssertionResult AddMembers(size_t count, size_t size,
                                        const std::function<Caller(size_t)> &callerOf) {
    for (size_t i = 0; i < count; i++) {
      if (Add(callerOf(i), size) == nullptr) {
        return ::testing::AssertionFailure() << "member " << i << " not made";
      }
    }
    return ::testing::AssertionSuccess();
  }
  // Member i takes the file as a stream when i % streamEvery is 1 (so member
  // 0, the first to ask, has a buffer).
  ::testing::AssertionResult AddMembers(size_t count, size_t size, size_t streamEvery) {
    return AddMembers(count, size, [streamEvery](size_t i) {
      return i % streamEvery == 1 ? Caller::Stream : Caller::Buffer;
    });
  }

  // Every member's ReadFile, in order.
  ::testing::AssertionResult StartAll() {
    for (auto &m : group_->Members()) {
      const EFI_STATUS status = group_->Start(*m);
      if (status != EFI_SUCCESS) {
        return ::testing::AssertionFailure() << m->Name() << ": ReadFile gave " << status;
      }
    }
    return ::testing::AssertionSuccess();
  }

  // Every member but the first loses `loss` of what reaches it.
  void LoseToListeners(double loss) {
    host::FaultProfile lossy = Lan();
    lossy.loss = loss;
    for (size_t i = 1; i < group_->Members().size(); i++) {
      host::FlowMatch toMember;
      toMember.receiver = (*group_)[i].address;
      host_->Net().AddFlowProfile(toMember, lossy);
    }
  }

  // `count` members (AddMembers with `streamEvery`) download a file of
  // `size` bytes, every one but the first losing `loss` of what reaches it;
  // each ends with the exact file (kept in `served` if asked).
  void AllExactDespiteListenerLoss(size_t count, size_t size, size_t streamEvery, double loss,
                                   Bytes *served = nullptr) {
    const Bytes file = Serve("file.bin", size);
    if (served != nullptr) {
      *served = file;
    }
    ASSERT_TRUE(AddMembers(count, size, streamEvery));
    LoseToListeners(loss);
    ASSERT_TRUE(StartAll());
    ASSERT_TRUE(group_->RunUntilDone(3600 * kSecond)) << host_->Net().Describe();
    ExpectAllExact(file);
  }

  // DATA8 the server has sent so far (to the group or by unicast).
  uint64_t DataSent() const { return server_->Engine().Stats().DataDatagrams; }

  // Datagrams that left a member's address.
  size_t SentBy(const Member &m) const {
    size_t n = 0;
    for (const host::CaptureRecord &r : host_->Net().Capture()) {
      n += r.datagram.src == m.address;
    }
    return n;
  }

  std::optional<server::TransferReport> ReportFor(const Member &m) const {
    std::optional<server::TransferReport> last;
    for (const server::TransferReport &r : server_->Reports()) {
      if (r.Client.address == m.address) {
        last = r;
      }
    }
    return last;
  }

  // Every member that was not destroyed ended once, with EFI_SUCCESS and
  // exactly the file.
  void ExpectAllExact(const Bytes &file) {
    for (auto &m : group_->Members()) {
      if (m->destroyed || !m->started) {
        continue;
      }
      EXPECT_EQ(m->signalled, 1) << m->Name() << " " << host_->Net().Describe();
      EXPECT_EQ(m->token.Status, EFI_SUCCESS) << m->Name() << " " << host_->Net().Describe();
      std::string diff = Group::Compare(*m, file);
      EXPECT_TRUE(diff.empty()) << diff << " " << host_->Net().Describe();
    }
  }

  // The datagrams that left or reached `address` (or every one), one line
  // each, for a failure's story; without DATA8 unless `data`.
  std::string Trace(std::optional<host::Ipv4> address = std::nullopt, size_t limit = 4000,
                    bool data = true) const {
    std::string out;
    size_t lines = 0;
    for (const host::CaptureRecord &r : host_->Net().Capture()) {
      const host::Datagram &d = r.datagram;
      if (address && d.src != *address && d.dst != *address && !d.dst.IsMulticast()) {
        continue;
      }
      if (!data && d.payload.size() >= 2 && d.payload[1] == 8) {
        continue;
      }
      if (++lines > limit) {
        break;
      }
      auto be32 = [&](size_t at) {
        return d.payload.size() < at + 4 ? 0u
                                         : uint32_t(d.payload[at]) << 24 | d.payload[at + 1] << 16 |
                                               d.payload[at + 2] << 8 | d.payload[at + 3];
      };
      unsigned op = d.payload.size() >= 2 ? d.payload[1] : 0;
      out += std::to_string(r.time / kMs) + "ms " + d.src.ToString() + ":" +
             std::to_string(d.srcPort) + " > " + d.dst.ToString() + ":" +
             std::to_string(d.dstPort) + " op" + std::to_string(op);
      if (op == 8) {
        out += " seq " + std::to_string(be32(2)) + " block " + std::to_string(be32(6)) + " len " +
               std::to_string(d.payload.size() - 10);
      } else if (op == 9 || op == 11 || op == 14) {
        out += ' ' + std::to_string(be32(2));
      } else if (op == 10) {
        for (size_t at = 10; at + 8 <= d.payload.size(); at += 8) {
          auto le32 = [&](size_t p) {
            return uint32_t(d.payload[p]) | d.payload[p + 1] << 8 | d.payload[p + 2] << 16 |
                   uint32_t(d.payload[p + 3]) << 24;
          };
          out += " [" + std::to_string(le32(at)) + "," + std::to_string(le32(at + 4)) + "]";
        }
      }
      out += r.dropped ? " DROPPED\n" : "\n";
    }
    return out;
  }

  // Off for a test whose firmware refused a release on purpose: what it
  // would not free stays live.
  bool checkLeaks_ = true;
  std::unique_ptr<DriverHost> host_;
  std::unique_ptr<EngineServer> server_;
  std::unique_ptr<Group> group_;
};

// A parameterised case that names the seed its run starts from.
template <typename Case>
class SeededMcastTest : public McastFixture, public ::testing::WithParamInterface<Case> {
protected:
  void SetUp() override { Init(this->GetParam().seed); }
};

} // namespace zem4::test::mcast
