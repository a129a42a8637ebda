// Request names as firmware writes them ("\EFI\BOOT\x.efi", "/boot/x.efi")
// are read relative to the root, and are judged after that reading, so no
// spelling reaches above the root; --strict-names takes them as they come.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

using namespace std::chrono_literals;

constexpr uint16_t Listen = 5568;
const Endpoint Client{Ipv4(127, 0, 0, 2), 1234};

// Files of distinct sizes: the OACK's tsize tells which one was opened.
const std::pair<const char *, size_t> kFiles[] = {
    {"x.efi", 1}, {"boot/x.efi", 22}, {"EFI/BOOT/BOOTX64.EFI", 333}, {"a\\b", 4444}};

const std::string kNotFound = "404";
const std::string kRefused = "refused";

struct Case {
  const char *Asked;
  std::string Mapped; // size served, or kNotFound / kRefused
  std::string Strict;
};

const Case kCases[] = {
    {"x.efi", "1", "1"},
    {"/x.efi", "1", kRefused},
    {"//x.efi", "1", kRefused},
    {"/boot/x.efi", "22", kRefused},
    {"boot/x.efi", "22", "22"},
    {"\\EFI\\BOOT\\BOOTX64.EFI", "333", kNotFound},
    {"/EFI\\BOOT/BOOTX64.EFI", "333", kRefused},
    {"a\\b", kNotFound, "4444"}, // a backslash in a real file name needs --strict-names
    {"..\\..\\x.efi", kRefused, kNotFound},
    {"/../x.efi", kRefused, kRefused},
    {"\\..\\x.efi", kRefused, kNotFound},
    {"boot\\..\\..\\x.efi", kRefused, kNotFound},
    {"/", kNotFound, kRefused},
    {"\\", kNotFound, kNotFound},
    {"", kNotFound, kNotFound},
};

std::string Outcome(const Bytes &Answer) {
  if (Answer == Cat({B({0, 5, 0, 1}), Str("File not found")})) {
    return kNotFound;
  }
  if (Answer == Cat({B({0, 5, 0, 2}), Str("Access violation")})) {
    return kRefused;
  }
  const Bytes Head = Cat({B({0, 6}), Str("tsize")});
  if (Answer.size() > Head.size() + 1 && std::equal(Head.begin(), Head.end(), Answer.begin()) &&
      Answer.back() == 0) {
    return std::string(Answer.begin() + static_cast<long>(Head.size()), Answer.end() - 1);
  }
  return "unexpected answer of " + std::to_string(Answer.size()) + " bytes";
}

TEST(RequestNames, MappedBeforeTheEscapeChecksUnlessStrict) {
  for (bool Strict : {false, true}) {
    for (const Case &C : kCases) {
      SCOPED_TRACE(::testing::Message()
                   << (Strict ? "strict " : "mapped ") << '"' << C.Asked << '"');
      MemoryFileSource Files;
      for (const auto &[Name, Size] : kFiles) {
        Files.Add(Name, Pattern(Size));
      }
      RecordingIo Io;
      EngineConfig Cfg;
      Cfg.StrictNames = Strict;
      Engine E(Cfg, Files, Io);
      E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str(C.Asked), Str("tsize"), Str("")}), 0ms);
      auto Out = Io.Take();
      ASSERT_EQ(Out.size(), 1u);
      const std::string Got = Outcome(Out[0].Data);
      EXPECT_EQ(Got, Strict ? C.Strict : C.Mapped);
      if (Got == kNotFound || Got == kRefused) {
        EXPECT_TRUE(Io.Open.empty());
        continue;
      }
      // The client gives up: its line names the file as asked and as served.
      E.OnDatagram(Client, Out[0].From, Cat({B({0, 5, 0, 0}), Str("bye")}), 0ms);
      ASSERT_EQ(Io.Reports.size(), 1u);
      EXPECT_EQ(Io.Reports[0].File, C.Asked);
      EXPECT_EQ(Files.Open(Io.Reports[0].Served).File->Size(), std::stoul(Got));
      EXPECT_EQ(Io.Reports[0].Served, Strict ? std::string(C.Asked) : MapRequestName(C.Asked));
    }
  }
}

} // namespace
} // namespace zem4::server::testing
