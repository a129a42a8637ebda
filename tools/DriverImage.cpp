#include "tools/DriverImage.h"

#include "host/PeImage.h"
#include "tools/Exit.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace zem4::cli {
namespace {

std::string &Selected() {
  static std::string path;
  return path;
}

// Where the 32-bit runner is looked for when $ZEM4_RUNNER32 names none:
// beside this program, or in the tree of the host32-release preset (which
// demo.sh builds) or of the host32 preset (the tests' sanitizer build) next to
// this program's tree. An installed zem4 has no such trees around it.
std::vector<std::filesystem::path> Runner32Places() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec)
    return {};
  const std::filesystem::path dir = self.parent_path();
  return {dir / "zem4-32", (dir / "../../host32-release/tools/zem4-32").lexically_normal(),
          (dir / "../../host32/tools/zem4-32").lexically_normal()};
}

std::string MachineName(uint16_t machine) {
  switch (machine) {
  case host::kMachineIa32:
    return "IA32";
  case host::kMachineX64:
    return "X64";
  default: {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", machine);
    return text;
  }
  }
}

} // namespace

const std::string &DriverImagePath() {
  return Selected();
}

void SelectDriverImage(const std::string &path, char **argv, bool quiet) {
  const std::optional<uint16_t> machine = host::PeImage::MachineOfFile(path);
  if (!machine) {
    throw Failure(kExitUsage, "--driver: " + path + " is not a UEFI image");
  }
  if (*machine == host::kHostMachine) {
    Selected() = path;
    if (!quiet)
      std::fprintf(stderr, "zem4: running the %s driver image %s\n", MachineName(*machine).c_str(),
                   path.c_str());
    return;
  }
  if (*machine == host::kMachineIa32 && host::kHostMachine == host::kMachineX64) {
    std::string runner;
    std::string looked;
    if (const char *env = std::getenv("ZEM4_RUNNER32"); env != nullptr && *env != '\0')
      runner = env;
    for (const std::filesystem::path &place : Runner32Places()) {
      if (runner.empty() && access(place.c_str(), X_OK) == 0)
        runner = place.string();
      looked += (looked.empty() ? "" : ", ") + place.string();
    }
    if (runner.empty()) {
      throw Failure(kExitDriver,
                    "--driver: " + path +
                        " is an IA32 image; it runs in the 32-bit runner zem4-32, which was not "
                        "found: ZEM4_RUNNER32 is not set, and none is at " +
                        looked +
                        ". Build it in the zem4 sources (cmake --preset host32-release && cmake "
                        "--build --preset host32-release, or scripts/demo.sh) and set "
                        "ZEM4_RUNNER32 to their build/host32-release/tools/zem4-32, or copy that "
                        "file beside zem4; the zem4 package leaves it out");
    }
    std::vector<char *> args;
    args.push_back(const_cast<char *>(runner.c_str()));
    for (char **a = argv + 1; *a != nullptr; a++) {
      args.push_back(*a);
    }
    args.push_back(nullptr);
    std::fflush(nullptr);
    execv(runner.c_str(), args.data());
    throw Failure(kExitDriver, "--driver: cannot start " + runner + ": " + std::strerror(errno));
  }
  throw Failure(kExitUsage, "--driver: " + path + " is an " + MachineName(*machine) +
                                " image; this zem4 runs " + MachineName(host::kHostMachine) +
                                " images");
}

} // namespace zem4::cli
