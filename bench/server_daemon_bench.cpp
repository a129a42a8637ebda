// How many datagrams per second zem4d sends on loopback: the daemon runs in
// this process on its own thread, a client of ours downloads a file by
// unicast over a real socket, acknowledging as it goes.
#include "net/Socket.h"
#include "server/daemon/Daemon.h"
#include "server/engine/Packets.h"
#include "zem4/Zem4Wire.h"

#include <arpa/inet.h>
#include <asio.hpp>
#include <benchmark/benchmark.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace zem4::server;

struct Client {
  int Fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in Server{};
  Client(uint16_t Port) {
    sockaddr_in A = zem4::net::ToSockaddr({Ipv4(127, 0, 0, 1), 0});
    bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A);
    int Buffer = 4 << 20;
    setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &Buffer, sizeof Buffer);
    Server = zem4::net::ToSockaddr({Ipv4(127, 0, 0, 1), Port});
  }
  ~Client() { close(Fd); }
  void SendTo(const sockaddr_in &To, const Bytes &D) {
    sendto(Fd, D.data(), D.size(), 0, reinterpret_cast<const sockaddr *>(&To), sizeof To);
  }
  // One whole unicast download; returns DATA8 received, 0 on failure.
  uint64_t Download(const std::string &Name) {
    SendTo(Server, BuildRequest(Name, {}));
    uint8_t Buf[2048];
    sockaddr_in From{};
    socklen_t Len = sizeof From;
    uint32_t Next = 1;
    uint64_t Data = 0;
    bool Listed = false;
    for (int Idle = 0; Idle < 50;) {
      pollfd P{Fd, POLLIN, 0};
      if (poll(&P, 1, 100) <= 0) {
        ++Idle; // bounded: a lost datagram is re-acknowledged, then we give up
        if (Listed) {
          SendTo(From, BuildAck8(Next));
        }
        continue;
      }
      Len = sizeof From;
      ssize_t N = recvfrom(Fd, Buf, sizeof Buf, 0, reinterpret_cast<sockaddr *>(&From), &Len);
      if (N < 2) {
        continue;
      }
      switch (Buf[1]) {
      case ZEM4_OP_OACK:
        SendTo(From, BuildRpl(1, std::vector<BlockRange>{{1, 0xFFFFFFFF}}));
        Listed = true;
        break;
      case ZEM4_OP_DATA8: {
        uint32_t Seq =
            uint32_t{Buf[2]} << 24 | uint32_t{Buf[3]} << 16 | uint32_t{Buf[4]} << 8 | Buf[5];
        ++Data;
        if (Seq == Next) {
          ++Next;
          if (Next % 16 == 0 || N < 1042) {
            SendTo(From, BuildAck8(Next));
          }
        } else {
          SendTo(From, BuildAck8(Next));
        }
        break;
      }
      case ZEM4_OP_FIN:
        return Data;
      case ZEM4_OP_ERROR:
        fprintf(stderr, "error %d %s\n", Buf[3], reinterpret_cast<char *>(Buf + 4));
        return 0;
      default:
        break;
      }
    }
    fprintf(stderr, "stalled at %u after %llu datagrams\n", Next,
            static_cast<unsigned long long>(Data));
    return 0;
  }
};

void BM_DaemonUnicastLoopback(benchmark::State &State) {
  namespace fs = std::filesystem;
  char Template[] = "/tmp/zem4-bench-XXXXXX";
  fs::path Root = mkdtemp(Template);
  const size_t Blocks = static_cast<size_t>(State.range(0));
  std::ofstream(Root / "f", std::ios::binary) << std::string(Blocks * 1032, 'z');
  spdlog::set_level(spdlog::level::warn);
  DaemonOptions O;
  O.Root = Root.string();
  O.Port = 0;
  O.LogLevel = "warn";
  asio::io_context Io;
  Daemon D(Io, O);
  D.Start();
  std::thread Runner([&] { Io.run(); });
  uint64_t Datagrams = 0;
  {
    for (auto _ : State) {
      Client C(D.ListenPort()); // a fresh port: the last session's FIN repeats are not ours
      uint64_t Got = C.Download("f");
      if (Got == 0) {
        State.SkipWithError("download failed");
        break;
      }
      Datagrams += Got;
    }
  }
  asio::post(Io, [&] { D.Stop(); });
  Runner.join();
  fs::remove_all(Root);
  State.counters["datagrams/s"] =
      benchmark::Counter(static_cast<double>(Datagrams), benchmark::Counter::kIsRate);
  State.SetBytesProcessed(static_cast<int64_t>(Datagrams * 1042));
}

BENCHMARK(BM_DaemonUnicastLoopback)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
