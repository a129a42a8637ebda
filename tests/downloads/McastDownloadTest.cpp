// Whole multicast downloads from the server's real engine on the simulated
// network: several members, each a controller of its own with its own child,
// in one group; late joiners, a master that vanishes, loss on all or one.
#include "tests/common/EngineServer.h"
#include "tests/modes/ModesFixture.h"

#include "driver/Zem4Driver.h"
#include "support/Globals.h"

#include <string>

namespace zem4::test {
namespace {

VOID EFIAPI MemberMappingTimeout(EFI_EVENT, VOID *Context) {
  static_cast<Zem4Instance *>(Context)->MappingTimedOut = 1;
}

struct Member {
  host::Ipv4 ip;
  bool stream = false;
  std::unique_ptr<host::Udp4Controller> controller;
  Zem4Instance *instance = nullptr;
  Zem4Token token{};
  Completion done;
  Sink sink;
  std::vector<uint8_t> buffer;
  Zem4Option options[1] = {{const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")}};
  Zem4 *Proto() { return &instance->Protocol; }
};

class McastDownloadTest : public DriverFixture {
protected:
  void SetUp() override {
    DriverFixture::SetUp();
    gZem4DriverBinding.DriverBindingHandle = agent_;
    engine_ = std::make_unique<EngineServer>(Fw(), Net(), kServerIp);
  }
  void TearDown() override {
    for (auto &member : members_) {
      Destroy(*member);
    }
    members_.clear();
    engine_.reset();
    DriverFixture::TearDown();
    gZem4DriverBinding.DriverBindingHandle = nullptr;
  }

  Member &AddMember(bool stream) {
    auto member = std::make_unique<Member>();
    member->ip = host::Ipv4(127, 0, 2, uint8_t(10 + members_.size()));
    member->stream = stream;
    member->controller = std::make_unique<host::Udp4Controller>(Fw(), Net(), member->ip);
    VOID *memory = nullptr;
    EXPECT_EQ(gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4Instance), &memory), EFI_SUCCESS);
    auto *instance = static_cast<Zem4Instance *>(memory);
    gBS->SetMem(instance, sizeof(Zem4Instance), 0);
    instance->Signature = ZEM4_INSTANCE_SIGNATURE;
    instance->ControllerHandle = member->controller->Handle();
    instance->Protocol = gZem4ProtocolTemplate;
    instance->State = ZEM4_STATE_IDLE;
    EXPECT_EQ(gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, ZEM4_TPL_LOCK, MemberMappingTimeout,
                               instance, &instance->MappingEvent),
              EFI_SUCCESS);
    EFI_SERVICE_BINDING_PROTOCOL *sb = member->controller->ServiceBinding();
    EFI_HANDLE child = nullptr;
    EXPECT_EQ(sb->CreateChild(sb, &child), EFI_SUCCESS);
    EXPECT_EQ(gBS->OpenProtocol(child, &gEfiUdp4ProtocolGuid,
                                reinterpret_cast<VOID **>(&instance->Udp), agent_, nullptr,
                                EFI_OPEN_PROTOCOL_GET_PROTOCOL),
              EFI_SUCCESS);
    instance->ChildHandle = child;
    Fw().InstallProtocol(child, gZem4ProtocolGuid, &instance->Protocol);
    InitializeListHead(&instance->Link);
    member->instance = instance;

    Zem4ConfigData config = DefaultConfig();
    config.StationIp = EfiIp(member->ip);
    EXPECT_EQ(member->Proto()->Configure(member->Proto(), &config), EFI_SUCCESS);
    members_.push_back(std::move(member));
    return *members_.back();
  }

  void StartMember(Member &member) {
    PrepareToken(member.token, member.done, "file.bin");
    member.token.Context = &member.sink;
    member.token.OptionCount = 1;
    member.token.OptionList = member.options;
    if (member.stream) {
      member.token.CheckPacket = CheckPacketSink;
    } else {
      member.buffer.assign(file_.empty() ? 1 : file_.size(), 0xEE);
      member.token.Buffer = member.buffer.data();
      member.token.BufferSize = member.buffer.size();
    }
    ASSERT_EQ(member.Proto()->ReadFile(member.Proto(), &member.token), EFI_SUCCESS);
  }

  void Destroy(Member &member) {
    if (member.instance == nullptr) {
      return;
    }
    Zem4Instance *instance = member.instance;
    member.instance = nullptr;
    instance->InDestroy = 1;
    instance->Protocol.Configure(&instance->Protocol, nullptr);
    Fw().UninstallProtocol(instance->ChildHandle, gZem4ProtocolGuid, &instance->Protocol);
    EFI_SERVICE_BINDING_PROTOCOL *sb = member.controller->ServiceBinding();
    sb->DestroyChild(sb, instance->ChildHandle);
    gBS->CloseEvent(instance->MappingEvent);
    gBS->FreePool(instance);
    EXPECT_EQ(member.controller->Unrecycled(), 0u);
    member.controller.reset();
  }

  bool AllDone() const {
    for (const auto &member : members_) {
      if (member->instance != nullptr && member->done.count == 0) {
        return false;
      }
    }
    return true;
  }

  void ExpectExactFile(const Member &member) {
    SCOPED_TRACE(member.ip.ToString());
    EXPECT_EQ(member.done.count, 1);
    EXPECT_EQ(member.done.status, EFI_SUCCESS) << Net().Describe();
    if (member.stream) {
      EXPECT_TRUE(member.sink.All() == file_) << Net().Describe();
    } else if (!file_.empty()) {
      EXPECT_TRUE(member.buffer == file_) << Net().Describe();
    }
  }

  static EFI_STATUS EFIAPI CheckPacketSink(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *Data) {
    auto *sink = static_cast<Sink *>(Token->Context);
    const auto *bytes = static_cast<const uint8_t *>(Data);
    sink->runs.emplace_back(bytes, bytes + Length);
    return EFI_SUCCESS;
  }

  void UseFile(size_t size, uint32_t seed) {
    file_ = MakeFile(size, seed);
    engine_->Files().Add("file.bin", file_);
  }

  Bytes file_;
  std::unique_ptr<EngineServer> engine_;
  std::vector<std::unique_ptr<Member>> members_;
};

TEST_F(McastDownloadTest, OneMasterAndThreeListeners) {
  UseFile(300 * 1032 + 99, 11);
  for (int i = 0; i < 4; i++) {
    StartMember(AddMember(i % 2 == 1));
  }
  ASSERT_TRUE(RunUntil([&] { return AllDone(); }, 3600 * kSecond));
  for (const auto &member : members_) {
    ExpectExactFile(*member);
  }
  EXPECT_GE(engine_->Engine().Stats().GroupsCreated, 1u);
  // One drove the group, the others only listened (at least at first).
  size_t passive = 0;
  for (const server::TransferReport &report : engine_->Reports()) {
    passive += report.Roles.find("passive") != std::string::npos;
  }
  EXPECT_GE(passive, 3u);
}

TEST_F(McastDownloadTest, MemberJoiningAfterAThirdRepairsWhatItMissed) {
  UseFile(600 * 1032, 12);
  Member &first = AddMember(false);
  StartMember(first);
  ASSERT_TRUE(RunUntil([&] { return first.instance->ReceivedBlocks >= 200; }, 600 * kSecond));
  Member &late = AddMember(true);
  StartMember(late);
  Member &later = AddMember(false);
  StartMember(later);
  ASSERT_TRUE(RunUntil([&] { return AllDone(); }, 3600 * kSecond));
  ExpectExactFile(first);
  ExpectExactFile(late);
  ExpectExactFile(later);
}

TEST_F(McastDownloadTest, ListenersFinishWhenTheMasterVanishes) {
  UseFile(400 * 1032 + 5, 13);
  Member &master = AddMember(false);
  StartMember(master);
  RunFor(10 * kMs); // the first request makes the master
  Member &a = AddMember(true);
  StartMember(a);
  Member &b = AddMember(false);
  StartMember(b);
  ASSERT_TRUE(RunUntil([&] { return master.instance->ReceivedBlocks >= 130; }, 600 * kSecond));
  Destroy(master); // gone without a word to the server
  ASSERT_TRUE(RunUntil([&] { return AllDone(); }, 3600 * kSecond));
  ExpectExactFile(a);
  ExpectExactFile(b);
}

struct LossCase {
  double rate;
  bool oneMemberOnly;
};

class McastLossTest : public McastDownloadTest, public ::testing::WithParamInterface<LossCase> {};

TEST_P(McastLossTest, EveryMemberGetsTheExactFile) {
  const LossCase &c = GetParam();
  UseFile(250 * 1032 + 31, 14);
  host::FaultProfile profile;
  profile.loss = c.rate;
  profile.duplicate = c.rate;
  profile.reorder = c.rate;
  for (int i = 0; i < 4; i++) {
    AddMember(i % 2 == 0);
  }
  if (c.oneMemberOnly) {
    host::FlowMatch match;
    match.receiver = members_[2]->ip;
    Net().AddFlowProfile(match, profile);
  } else {
    Net().SetDefaultProfile(profile);
  }
  for (auto &member : members_) {
    StartMember(*member);
  }
  ASSERT_TRUE(RunUntil([&] { return AllDone(); }, 3 * 3600 * kSecond)) << Net().Describe();
  for (const auto &member : members_) {
    ExpectExactFile(*member);
  }
}

std::string LossName(const ::testing::TestParamInfo<LossCase> &info) {
  return std::string(info.param.oneMemberOnly ? "One" : "All") + "Rate" +
         std::to_string(int(info.param.rate * 100));
}

INSTANTIATE_TEST_SUITE_P(Rates, McastLossTest,
                         ::testing::Values(LossCase{0.01, false}, LossCase{0.05, false},
                                           LossCase{0.20, false}, LossCase{0.01, true},
                                           LossCase{0.05, true}, LossCase{0.20, true}),
                         LossName);

} // namespace
} // namespace zem4::test
