// The boot storm at scale, in virtual time: N clients ask for one 4 MiB file
// at once (a tenth of them 0.1 s late) through the simulated network's link
// model (1 Gbit/s server uplink, 100 Mbit/s client links, 5 ms each way),
// by unicast and as one multicast group, without and with loss towards the
// clients. Each client is the real driver in the host firmware; the server is
// the real engine. Printed per run: virtual time until every client has the
// exact file, server bytes per byte of file, passes and what the links
// dropped, with the wall and CPU seconds each row took (on a shared machine
// the two differ); then the whole run's. With --plot the curve is drawn by
// gnuplot.
//
// Its own main rather than Google Benchmark's: one pass over the curve, the
// virtual figures are what it measures, and the wall clock only bounds it.
#include "tests/storm/StormRig.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace zem4;

std::vector<double> ParseList(const char *text) {
  std::vector<double> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ','))
    out.push_back(std::strtod(item.c_str(), nullptr));
  return out;
}

// This process's CPU time: what a row costs, whatever else the machine runs.
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Row {
  size_t clients;
  bool multicast;
  double lossPercent;
  test::StormResult result;
  double wallSeconds;
};

// An SVG, or a PNG when the name ends in .png.
void Plot(const std::vector<Row> &rows, const std::vector<double> &losses, const std::string &svg) {
  std::string data = svg + ".dat";
  {
    std::ofstream out(data);
    // One block per curve (mode, loss), separated by two blank lines for gnuplot's index.
    for (bool multicast : {false, true})
      for (double loss : losses) {
        out << "# " << (multicast ? "multicast" : "unicast") << " loss " << loss << "%\n";
        for (const Row &r : rows)
          if (r.multicast == multicast && r.lossPercent == loss && r.result.Ok())
            out << r.clients << " " << r.result.seconds << " " << r.result.serverBytesPerFileByte
                << " " << r.result.passes << "\n";
        out << "\n\n";
      }
  }
  std::string script = svg + ".gp";
  {
    std::ofstream gp(script);
    bool png = svg.size() > 4 && svg.compare(svg.size() - 4, 4, ".png") == 0;
    gp << (png ? "set terminal pngcairo size 900,420 font 'sans,10'\n"
               : "set terminal svg size 900,420 dynamic font 'sans,11'\n")
       << "set output '" << svg << "'\n"
       << "set multiplot layout 1,2 title 'Boot storm, 4 MiB, 1 Gbit/s server uplink, 100 "
          "Mbit/s clients (virtual time)'\n"
       << "set logscale xy\nset grid\nset key top left\nset xlabel 'clients'\n"
       << "set ylabel 'seconds until every client has the file'\n";
    auto plotLine = [&](int column) {
      gp << "plot ";
      int index = 0;
      for (bool multicast : {false, true})
        for (double loss : losses) {
          if (index)
            gp << ", ";
          gp << "'" << data << "' index " << index << " using 1:" << column
             << " with linespoints title '" << (multicast ? "multicast" : "unicast") << " " << loss
             << " % loss'";
          index++;
        }
      gp << "\n";
    };
    plotLine(2);
    gp << "set ylabel 'server bytes per byte of file'\n";
    plotLine(3);
    gp << "unset multiplot\n";
  }
  std::string command = "gnuplot '" + script + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "gnuplot failed (apt-get install gnuplot-nox); data in %s\n",
                 data.c_str());
  std::remove(data.c_str());
  std::remove(script.c_str());
}

} // namespace

int main(int argc, char **argv) {
  std::vector<double> clients = {1, 10, 100, 1000};
  std::vector<double> losses = {0, 5};
  double mib = 4;
  std::string plot;
  double maxWall = 600;
  bool verbose = false;
  for (int i = 1; i < argc; i++) {
    std::string flag = argv[i];
    if (flag == "--verbose") {
      verbose = true;
      continue;
    }
    const char *value = i + 1 < argc ? argv[++i] : nullptr;
    if (value && flag == "--clients")
      clients = ParseList(value);
    else if (value && flag == "--loss")
      losses = ParseList(value);
    else if (value && flag == "--mib")
      mib = std::strtod(value, nullptr);
    else if (value && flag == "--max-wall")
      maxWall = std::strtod(value, nullptr);
    else if (value && flag == "--plot")
      plot = value;
    else {
      std::fprintf(stderr,
                   "usage: %s [--clients 1,10,100,1000] [--loss 0,5] [--mib 4] "
                   "[--max-wall 600] [--plot FILE.svg] [--verbose]\n",
                   argv[0]);
      return 2;
    }
  }
  const std::vector<uint8_t> file = test::StormFile(size_t(mib * 1024 * 1024));
  auto begin = std::chrono::steady_clock::now();
  const double cpuBegin = CpuSeconds();
  std::vector<Row> rows;
  std::printf("| clients | mode | loss | all exact | virtual s | server bytes / file byte | "
              "passes | retransmissions | link drops | wall s | cpu s |\n"
              "|---:|---|---:|:---:|---:|---:|---:|---:|---:|---:|---:|\n");
  bool allOk = true;
  std::vector<std::string> notes; // after the table, which they would break
  // Cheapest first at each size: without loss one stream before a copy each;
  // with loss the other way round, as a group's streaming members each need
  // a repair pass of their own (see docs/benchmarks.md).
  for (double n : clients)
    for (double loss : losses)
      for (bool multicast : {loss == 0, loss != 0}) {
        auto t0 = std::chrono::steady_clock::now();
        const double cpu0 = CpuSeconds();
        double spent = std::chrono::duration<double>(t0 - begin).count();
        if (spent >= maxWall) {
          std::printf("| %zu | %s | %g %% | skipped: the curve's %g s are spent | | | | | | | |\n",
                      size_t(n), multicast ? "multicast" : "unicast", loss, maxWall);
          continue;
        }
        test::StormConfig config = test::StandardStorm(size_t(n), multicast, loss / 100.0);
        config.wallBudget = maxWall - spent;
        test::StormResult r = test::RunStorm(config, file);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        allOk = allOk && r.Ok();
        std::printf("| %zu | %s | %g %% | %s | %.2f | %.2f | %llu | %llu | %llu | %.1f | %.1f |\n",
                    size_t(n), multicast ? "multicast" : "unicast", loss, r.Ok() ? "yes" : "NO",
                    r.seconds, r.serverBytesPerFileByte, static_cast<unsigned long long>(r.passes),
                    static_cast<unsigned long long>(r.retransmissions),
                    static_cast<unsigned long long>(r.linkDropped), wall, cpu);
        if (!r.Ok()) {
          char note[256];
          std::snprintf(note, sizeof note,
                        "%zu clients, %s, %g %% loss: %s%s; at %.2f virtual s, %.1f %% of all "
                        "copies checked",
                        size_t(n), multicast ? "multicast" : "unicast", loss, r.failure.c_str(),
                        r.findings.empty() ? "" : " (and firmware findings)", r.reachedSeconds,
                        100.0 * double(r.deliveredBytes) / (double(file.size()) * n));
          notes.push_back(note);
        }
        if (verbose)
          for (const std::string &line : r.reports)
            std::printf("    %s\n", line.c_str());
        std::fflush(stdout);
        rows.push_back({size_t(n), multicast, loss, std::move(r), wall});
      }
  double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("\n");
  for (const std::string &note : notes)
    std::printf("%s\n", note.c_str());
  std::printf("whole curve: %.1f s of wall time, %.1f s of CPU time\n", total,
              CpuSeconds() - cpuBegin);
  if (!plot.empty())
    Plot(rows, losses, plot);
  return allOk ? 0 : 1;
}
