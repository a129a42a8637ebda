// zem4 on a LAN of network namespaces: clients and server in namespaces of
// their own, so a group joined on the wrong interface hears nothing and the
// download falls back to unicast, which these tests count as a failure.
#ifdef ZEM4_LAN_TESTS // the debug build of zem4 and zem4d only (see extra.cmake)
#include "Bed.h"

#include <csignal>
#include <regex>
#include <set>

namespace zem4::lan {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// What every finished member of a group must show: exit 0, the exact file,
// and a summary that says it came by multicast.
void ExpectByMulticast(Process &client, const fs::path &copy, const std::string &file,
                       const std::string &label) {
  EXPECT_EQ(client.Wait(120s), 0) << label << ":\n" << client.Output();
  EXPECT_TRUE(ReadFile(copy) == file) << label << ": the copy differs";
  std::string out = client.Output();
  EXPECT_NE(out.find(", by multicast, SHA-256 verified"), std::string::npos) << label << ":\n"
                                                                             << out;
  EXPECT_EQ(out.find("falling back"), std::string::npos) << label << ":\n" << out;
}

// The server's line for the completed transfer of `address` (with `roles`,
// when given: a member that fell back has two).
const TransferLine *Completed(const std::vector<TransferLine> &lines, const std::string &address,
                              const std::string &roles = "") {
  for (const auto &l : lines)
    if (l.client == address && l.outcome == "complete" && (roles.empty() || l.roles == roles))
      return &l;
  return nullptr;
}

class Lan : public LanBed {};

// Eight members of one group behind a 50 Mbit/s uplink, each losing 1 % of
// the UDP it receives, one of them joining once the others have data.
TEST_F(Lan, EightMembersOneGroupByMulticast) {
  constexpr unsigned kMembers = 8;
  Build({kMembers, 50});
  if (!built_)
    return;
  const std::string file = MakeRandomFile(dir_ / "root" / "boot.img", 4 << 20, 12);
  for (unsigned i = 1; i <= kMembers; ++i)
    Loss(i, 10);
  auto server = StartServer();
  // No --mcast-if: the interface of --bind.
  EXPECT_NE(server->Output().find("multicast 239.255.0.0/16 via eth0"), std::string::npos)
      << server->Output();

  std::vector<std::unique_ptr<Process>> clients;
  for (unsigned i = 1; i < kMembers; ++i)
    clients.push_back(StartGet(i, {"--multicast", "boot.img"}));
  // The late joiner comes in once the first member has a share of the file.
  EXPECT_TRUE(clients[0]->WaitFor(std::regex(R"(\(multicast\): [1-9][0-9]*% )"), 60s))
      << clients[0]->Output();
  clients.push_back(StartGet(kMembers, {"--multicast", "boot.img"}));

  for (unsigned i = 1; i <= kMembers; ++i)
    ExpectByMulticast(*clients[i - 1], dir_ / ("c" + std::to_string(i) + ".out"), file,
                      "member " + std::to_string(i));
  std::string log = StopServer(*server);
  auto lines = TransferLines(log);
  std::set<std::string> roles;
  for (unsigned i = 1; i <= kMembers; ++i) {
    const TransferLine *l = Completed(lines, ClientAddress(i));
    ASSERT_NE(l, nullptr) << "no completed transfer for member " << i << ":\n" << log;
    EXPECT_EQ(l->roles.find("unicast"), std::string::npos) << l->roles;
    for (const char *role : {"active", "passive"})
      if (l->roles.find(role) != std::string::npos)
        roles.insert(role);
  }
  EXPECT_EQ(roles, (std::set<std::string>{"active", "passive"})) << log;
  EXPECT_NE(log.find(" unicast_fallbacks=0 "), std::string::npos) << log;
}

// A group and unicast downloads at once, and a member whose group is joined
// on the wrong interface (--mcast-if lo): it hears nothing, falls back, gets
// the file all the same and says so.
TEST_F(Lan, UnicastAndMulticastAtOnce) {
  Build({5, 50});
  if (!built_)
    return;
  const std::string group = MakeRandomFile(dir_ / "root" / "group.img", 2 << 20, 21);
  const std::string single = MakeRandomFile(dir_ / "root" / "single.img", 1 << 20, 22);
  auto server = StartServer();
  std::vector<std::unique_ptr<Process>> c;
  c.push_back(StartGet(1, {"--multicast", "group.img"}));
  c.push_back(StartGet(2, {"--multicast", "--mcast-if", "eth0", "group.img"}));
  c.push_back(StartGet(3, {"single.img"}));
  c.push_back(StartGet(4, {"single.img"}));
  c.push_back(StartGet(5, {"--multicast", "--mcast-if", "lo", "--mcast-wait", "1", "group.img"}));

  ExpectByMulticast(*c[0], dir_ / "c1.out", group, "member 1");
  ExpectByMulticast(*c[1], dir_ / "c2.out", group, "member 2 (--mcast-if eth0)");
  for (unsigned i : {3u, 4u}) {
    Process &p = *c[i - 1];
    EXPECT_EQ(p.Wait(120s), 0) << p.Output();
    EXPECT_TRUE(ReadFile(dir_ / ("c" + std::to_string(i) + ".out")) == single) << i;
    EXPECT_EQ(p.Output().find("by multicast"), std::string::npos) << p.Output();
  }
  Process &lo = *c[4];
  EXPECT_EQ(lo.Wait(120s), 0) << lo.Output();
  EXPECT_TRUE(ReadFile(dir_ / "c5.out") == group);
  EXPECT_NE(lo.Output().find("zem4: no multicast data within 1 s; falling back to unicast"),
            std::string::npos)
      << lo.Output();
  // The summary's time counts the wait: at least the second it waited.
  auto at = lo.Output().find(" bytes in ");
  ASSERT_NE(at, std::string::npos) << lo.Output();
  EXPECT_GE(std::stod(lo.Output().substr(at + 10)), 1.0) << lo.Output();
  EXPECT_NE(lo.Output().find("s without multicast data, SHA-256 verified"), std::string::npos)
      << lo.Output();

  std::string log = StopServer(*server);
  auto lines = TransferLines(log);
  for (unsigned i : {3u, 4u, 5u})
    EXPECT_NE(Completed(lines, ClientAddress(i), "unicast"), nullptr) << i << ":\n" << log;
  for (unsigned i : {1u, 2u}) {
    const TransferLine *l = Completed(lines, ClientAddress(i));
    ASSERT_NE(l, nullptr) << i << ":\n" << log;
    EXPECT_EQ(l->roles.find("unicast"), std::string::npos) << l->roles;
  }
}

// A member's namespace is taken down in the middle of the download (the one
// that asked first, so most likely the group's driver): the others finish.
TEST_F(Lan, MemberGoneMidDownload) {
  constexpr unsigned kMembers = 4;
  Build({kMembers, 50});
  if (!built_)
    return;
  const std::string file = MakeRandomFile(dir_ / "root" / "boot.img", 4 << 20, 31);
  auto server = StartServer();
  std::vector<std::unique_ptr<Process>> c;
  c.push_back(StartGet(1, {"--multicast", "boot.img"}));
  ASSERT_TRUE(c[0]->WaitFor("boot.img (multicast): ", 60s)) << c[0]->Output();
  for (unsigned i = 2; i <= kMembers; ++i)
    c.push_back(StartGet(i, {"--multicast", "boot.img"}));
  // Gone once every member has joined and data flows.
  for (auto &p : c)
    EXPECT_TRUE(p->WaitFor("boot.img (multicast): ", 60s)) << p->Output();
  Cut(1);
  EXPECT_EQ(c[0]->Wait(10s), 128 + SIGKILL);
  for (unsigned i = 2; i <= kMembers; ++i)
    ExpectByMulticast(*c[i - 1], dir_ / ("c" + std::to_string(i) + ".out"), file,
                      "member " + std::to_string(i));
  std::string log = StopServer(*server);
  EXPECT_EQ(Completed(TransferLines(log), ClientAddress(1)), nullptr) << log;
}

// The IA32 image, run by the 32-bit runner, as one member of a group.
TEST_F(Lan, Ia32ImageAsMember) {
  if (!fs::exists(ZEM4_IA32_IMAGE_PATH)) {
    const char *ci = std::getenv("CI");
    if (ci && std::string(ci) == "true")
      FAIL() << "no IA32 image at " ZEM4_IA32_IMAGE_PATH;
    GTEST_SKIP() << "no IA32 image at " ZEM4_IA32_IMAGE_PATH " (cmake --build --preset ia32)";
  }
  Build({3, 50});
  if (!built_)
    return;
  const std::string file = MakeRandomFile(dir_ / "root" / "boot.img", 1 << 20, 41);
  auto server = StartServer();
  std::vector<std::unique_ptr<Process>> c;
  c.push_back(StartGet(1, {"--multicast", "--driver", ZEM4_IA32_IMAGE_PATH, "boot.img"}));
  c.push_back(StartGet(2, {"--multicast", "boot.img"}));
  c.push_back(StartGet(3, {"--multicast", "boot.img"}));
  for (unsigned i = 1; i <= 3; ++i)
    ExpectByMulticast(*c[i - 1], dir_ / ("c" + std::to_string(i) + ".out"), file,
                      "member " + std::to_string(i));
  std::string log = StopServer(*server);
  auto lines = TransferLines(log);
  const TransferLine *l = Completed(lines, ClientAddress(1));
  ASSERT_NE(l, nullptr) << log;
  EXPECT_EQ(l->roles.find("unicast"), std::string::npos) << l->roles;
}

} // namespace
} // namespace zem4::lan
#endif
