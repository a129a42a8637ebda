// zem4d on loopback: firmware-style names served relative to the root (or
// refused with --strict-names), transfers bound inside --port-range with a
// full range answered busy and counted, and a root never taken from the
// working directory.
#include "tests/server_e2e/DaemonHarness.h"

#include "zem4/Zem4Wire.h"

namespace zem4::server::testing {
namespace {

class DaemonNamesPorts : public DaemonFixture {};

// One client by unicast, run to its end.
std::unique_ptr<SocketClient> Fetch(const std::string &Name, uint16_t Listen, DaemonProcess &D) {
  std::vector<std::unique_ptr<SocketClient>> C;
  C.push_back(std::make_unique<SocketClient>(Name, false));
  C[0]->Started = true;
  C[0]->Send(Listen, C[0]->Model.Start(SocketClient::Now()));
  RunClients(C, Listen, D);
  return std::move(C[0]);
}

// Waits (bounded by loop count) until the log matches Re Count times.
bool WaitForLog(DaemonProcess &D, const std::regex &Re, long Count = 1) {
  for (int I = 0; I < 500; ++I) {
    if (std::distance(std::sregex_iterator(D.Log.begin(), D.Log.end(), Re),
                      std::sregex_iterator()) >= Count) {
      return true;
    }
    D.Drain(20);
  }
  return false;
}

TEST_F(DaemonNamesPorts, FirmwareNamesWithAndWithoutStrictNames) {
  const Bytes Data = RandomBytes(5000, 7);
  fs::create_directories(Root / "EFI" / "BOOT");
  WriteFile("EFI/BOOT/BOOTX64.EFI", Data);
  struct Case {
    const char *Asked;
    int MappedError; // -1: served
    int StrictError;
    const char *Logged; // the name as asked, escaped
  };
  const Case Cases[] = {
      {"\\EFI\\BOOT\\BOOTX64.EFI", -1, ZEM4_ERR_FILE_NOT_FOUND, "\\\\\\\\EFI\\\\\\\\BOOT"},
      {"/EFI/BOOT/BOOTX64.EFI", -1, ZEM4_ERR_ACCESS_VIOLATION, "/EFI/BOOT"},
      {"..\\..\\etc\\passwd", ZEM4_ERR_ACCESS_VIOLATION, ZEM4_ERR_FILE_NOT_FOUND, ""},
  };
  for (bool Strict : {false, true}) {
    auto Args = this->Args();
    if (Strict) {
      Args.push_back("--strict-names");
    }
    DaemonProcess D(Args);
    const uint16_t Listen = D.WaitForPort();
    ASSERT_NE(Listen, 0) << D.Log;
    for (const Case &C : Cases) {
      SCOPED_TRACE(::testing::Message() << (Strict ? "strict " : "mapped ") << C.Asked);
      auto Client = Fetch(C.Asked, Listen, D);
      const int Want = Strict ? C.StrictError : C.MappedError;
      EXPECT_EQ(Client->Model.Error(), Want) << D.Log;
      if (Want < 0) {
        ASSERT_TRUE(Client->Model.Complete()) << D.Log;
        EXPECT_EQ(Client->Model.Content(), Data);
        EXPECT_TRUE(WaitForLog(
            D, std::regex(std::string("transfer client=[0-9.:]+ file=\"") + C.Logged +
                          "[^\\n]*outcome=\"complete\" served=\"EFI/BOOT/BOOTX64\\.EFI\"")))
            << D.Log;
      }
    }
    EXPECT_EQ(D.Terminate(), 0) << D.Log;
  }
}

// Two free neighbouring ports on 127.0.0.1, below the kernel's ephemeral
// range so that no client socket of this test is given one of them.
uint16_t FreePair() {
  std::mt19937 G(static_cast<uint32_t>(getpid()));
  for (int Try = 0; Try < 50; ++Try) {
    const auto Low = static_cast<uint16_t>(10000 + G() % 20000);
    int A = socket(AF_INET, SOCK_DGRAM, 0), B = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in S = net::ToSockaddr({LoopbackAddress, Low});
    bool Ok = bind(A, reinterpret_cast<sockaddr *>(&S), sizeof S) == 0;
    S = net::ToSockaddr({LoopbackAddress, static_cast<uint16_t>(Low + 1)});
    Ok = Ok && bind(B, reinterpret_cast<sockaddr *>(&S), sizeof S) == 0;
    close(A);
    close(B);
    if (Ok) {
      return Low;
    }
  }
  return 0;
}

TEST_F(DaemonNamesPorts, SessionsBindInsideThePortRangeAndAFullRangeIsBusy) {
  const Bytes Data = RandomBytes(200000, 8);
  WriteFile("f.bin", Data);
  const uint16_t Low = FreePair();
  ASSERT_NE(Low, 0);
  auto Args = this->Args();
  Args.insert(Args.end(), {"--port-range", std::to_string(Low) + "-" + std::to_string(Low + 1)});
  DaemonProcess D(Args);
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  // Three at once: two ports, so the third is told the server is busy.
  std::vector<std::unique_ptr<SocketClient>> C;
  for (int I = 0; I < 3; ++I) {
    C.push_back(std::make_unique<SocketClient>("f.bin", false));
    C[I]->Started = true;
    C[I]->Send(Listen, C[I]->Model.Start(SocketClient::Now()));
  }
  RunClients(C, Listen, D);
  std::set<uint16_t> Used;
  int Busy = 0;
  for (auto &Client : C) {
    if (Client->Model.Error() == ZEM4_ERR_NOT_READY) {
      ++Busy;
      continue;
    }
    ASSERT_TRUE(Client->Model.Complete()) << D.Log;
    EXPECT_EQ(Client->Model.Content(), Data);
    Used.insert(Client->Model.SessionPort());
  }
  EXPECT_EQ(Busy, 1) << D.Log;
  EXPECT_EQ(Used, (std::set<uint16_t>{Low, static_cast<uint16_t>(Low + 1)})) << D.Log;
  // Once both have ended (closing periods included), both ports are free again.
  ASSERT_TRUE(WaitForLog(D, std::regex("outcome=\"complete\""), 2)) << D.Log;
  // Both ports are free again: the next client is served, from inside the range.
  auto Late = Fetch("f.bin", Listen, D);
  ASSERT_TRUE(Late->Model.Complete()) << D.Log;
  EXPECT_TRUE(Used.count(Late->Model.SessionPort())) << Late->Model.SessionPort();
  ASSERT_EQ(D.Terminate(), 0) << D.Log;
  EXPECT_TRUE(std::regex_search(D.Log, std::regex("zem4d stopping: [^\\n]* no_port=1\\b")))
      << D.Log;
}

TEST_F(DaemonNamesPorts, RefusesBadPortRanges) {
  for (const char *Range : {"10", "20-10", "0-5", "1-70000", "a-b", "5-6x"}) {
    SCOPED_TRACE(Range);
    auto Args = this->Args();
    Args.insert(Args.end(), {"--port-range", Range});
    DaemonProcess D(Args);
    EXPECT_EQ(D.WaitExit(), 2) << D.Log;
    EXPECT_NE(D.Log.find("--port-range"), std::string::npos) << D.Log;
  }
}

TEST_F(DaemonNamesPorts, WithoutRootTheDocumentedDirectoryNeverTheWorkingOne) {
  WriteFile("here.bin", RandomBytes(10, 9));
  auto Args = this->Args();
  Args.erase(Args.begin(), Args.begin() + 2); // "--root", Root
  ASSERT_EQ(std::find(Args.begin(), Args.end(), "--root"), Args.end());
  const fs::path Before = fs::current_path();
  fs::current_path(Root); // a daemon that fell back to "." would serve here.bin
  DaemonProcess D(Args);
  fs::current_path(Before);
  if (fs::is_directory("/srv/zem4")) {
    const uint16_t Listen = D.WaitForPort();
    ASSERT_NE(Listen, 0) << D.Log;
    EXPECT_NE(D.Log.find("zem4d serving /srv/zem4 on"), std::string::npos) << D.Log;
    EXPECT_EQ(Fetch("here.bin", Listen, D)->Model.Error(), ZEM4_ERR_FILE_NOT_FOUND) << D.Log;
  } else {
    EXPECT_EQ(D.WaitExit(), 1) << D.Log;
    EXPECT_NE(D.Log.find("cannot open root /srv/zem4"), std::string::npos) << D.Log;
  }
}

} // namespace
} // namespace zem4::server::testing
