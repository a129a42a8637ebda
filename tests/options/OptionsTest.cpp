// Option checks, packet splitting, OACK parsing and ParseOptions.
#include "protocol/Zem4Options.h"
#include "transport/TransportFixture.h"
#include "zem4/Zem4Wire.h"

#include <string>

using namespace zem4::test;

namespace {

class OptionsTest : public TransportTest {
protected:
  // Pairs as the caller hands them.
  EFI_STATUS Check(std::vector<std::pair<const char *, const char *>> Pairs) {
    std::vector<Zem4Option> List;
    for (auto &[Name, Value] : Pairs) {
      List.push_back({const_cast<CHAR8 *>(Name), const_cast<CHAR8 *>(Value)});
    }
    return Zem4CheckOption(List.data(), static_cast<UINT32>(List.size()));
  }

  static std::string CheckLine(int Number, const char *Status) {
    return "Zem4CheckOption(" + std::to_string(Number) + "): " + Status + "\r\n";
  }

  Zem4NegotiatedOptions Fresh() {
    Zem4NegotiatedOptions Options;
    std::memset(&Options, 0xA5, sizeof(Options));
    return Options;
  }
};

// An OACK (or, with Opcode 1, a request for File) from name/value strings.
std::vector<uint8_t> Packet(uint16_t Opcode, std::vector<std::string> Strings,
                            const char *File = nullptr) {
  std::vector<uint8_t> Bytes = {static_cast<uint8_t>(Opcode >> 8), static_cast<uint8_t>(Opcode)};
  if (File != nullptr) {
    Strings.insert(Strings.begin(), File); // the name comes first, NUL-terminated as they are
  }
  for (const auto &String : Strings) {
    Bytes.insert(Bytes.end(), String.begin(), String.end());
    Bytes.push_back(0);
  }
  return Bytes;
}

std::string Str(const CHAR8 *Text) {
  return Text == nullptr ? "<null>" : std::string(Text);
}

} // namespace

TEST_F(OptionsTest, CallerListsThatPass) {
  EXPECT_EQ(Zem4CheckOption(nullptr, 0), EFI_SUCCESS);
  EXPECT_EQ(Check({{"MultiCast", "1"}, {"multicast", "0"}}), EFI_SUCCESS);
  EXPECT_EQ(Check({{"tsize", "0"}, {"TSIZE", "18446744073709551615"}}), EFI_SUCCESS);
  EXPECT_EQ(Check({{"blksize", "anything"}, {"sha256", ""}}), EFI_SUCCESS);
  EXPECT_TRUE(Logs().empty());
}

TEST_F(OptionsTest, CallerListsThatFail) {
  EXPECT_EQ(Check({{"tsize", "1"}, {nullptr, "1"}}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Check({{"restart", nullptr}}), EFI_INVALID_PARAMETER); // null reported first
  EXPECT_EQ(Check({{"ReStArT", "1"}}), EFI_UNSUPPORTED);
  EXPECT_EQ(Check({{"session", "x"}}), EFI_UNSUPPORTED);
  EXPECT_EQ(Check({{"multicast", "01"}}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Check({{"multicast", "2"}}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Check({{"multicast", ""}}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Check({{"tsize", "12a"}}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Check({{"tsize", ""}}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Check({{"tsize", "18446744073709551616"}}), EFI_INVALID_PARAMETER); // 2^64
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        CheckLine(498, "Invalid Parameter"), CheckLine(498, "Invalid Parameter"),
                        CheckLine(504, "Unsupported"), CheckLine(504, "Unsupported"),
                        CheckLine(514, "Invalid Parameter"), CheckLine(514, "Invalid Parameter"),
                        CheckLine(514, "Invalid Parameter"), CheckLine(533, "Invalid Parameter"),
                        CheckLine(533, "Invalid Parameter"), CheckLine(533, "Invalid Parameter")}));
  for (UINT32 Level : LogLevels()) {
    EXPECT_EQ(Level, DIAG_ERROR);
  }
}

TEST_F(OptionsTest, DecimalConversionRefusesOverflow) {
  UINT64 Value = 0;
  UINTN Digits = 0;
  EXPECT_EQ(Zem4AsciiToU64("18446744073709551615x", &Value, &Digits), EFI_SUCCESS);
  EXPECT_EQ(Value, 18446744073709551615ull);
  EXPECT_EQ(Digits, 20u);
  EXPECT_EQ(Zem4AsciiToU64("18446744073709551616", &Value, &Digits), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Zem4AsciiToU64("99999999999999999999", &Value, &Digits), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Zem4AsciiToU64("", &Value, &Digits), EFI_SUCCESS);
  EXPECT_EQ(Value, 0u);
  EXPECT_EQ(Digits, 0u);
  EXPECT_EQ(Zem4AsciiToU64("007,", &Value, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Value, 7u);
}

TEST_F(OptionsTest, NamesCompareCaseInsensitivelyForLettersOnly) {
  EXPECT_EQ(Zem4AsciiStriCmp("TSize", "tsize"), 0);
  EXPECT_NE(Zem4AsciiStriCmp("tsize", "tsiz"), 0);
  EXPECT_NE(Zem4AsciiStriCmp("[", "{"), 0); // 0x5B vs 0x7B: not letters
  EXPECT_EQ(Zem4AsciiStriCmp(nullptr, nullptr), 0);
  EXPECT_NE(Zem4AsciiStriCmp(nullptr, ""), 0);
}

TEST_F(OptionsTest, ExtractSplitsRequestsAndOacks) {
  auto Oack = Packet(ZEM4_OP_OACK, {"tsize", "512", "multicast", "224.1.2.3,69,1"});
  Zem4Option *List = nullptr;
  UINT32 Count = 0;
  ASSERT_EQ(Zem4ExtractOptions(Oack.data(), (UINT32)Oack.size(), &List, &Count), EFI_SUCCESS);
  ASSERT_EQ(Count, 2u);
  ASSERT_NE(List, nullptr);
  EXPECT_EQ(List[0].OptionStr, reinterpret_cast<CHAR8 *>(Oack.data() + 2)); // into the packet
  EXPECT_EQ(Str(List[0].ValueStr), "512");
  EXPECT_EQ(Str(List[1].OptionStr), "multicast");
  EXPECT_EQ(Str(List[1].ValueStr), "224.1.2.3,69,1");
  gBS->FreePool(List);

  auto Request = Packet(ZEM4_OP_RRQ, {"tsize", "0"}, "dir/file");
  ASSERT_EQ(Zem4ExtractOptions(Request.data(), (UINT32)Request.size(), &List, &Count), EFI_SUCCESS);
  ASSERT_EQ(Count, 1u);
  EXPECT_EQ(Str(List[0].OptionStr), "tsize");
  gBS->FreePool(List);

  // Counting only, and nothing at all.
  List = reinterpret_cast<Zem4Option *>(1);
  Count = 99;
  ASSERT_EQ(Zem4ExtractOptions(Oack.data(), (UINT32)Oack.size(), nullptr, &Count), EFI_SUCCESS);
  EXPECT_EQ(Count, 2u);
  auto Bare = Packet(ZEM4_OP_OACK, {});
  ASSERT_EQ(Zem4ExtractOptions(Bare.data(), (UINT32)Bare.size(), &List, &Count), EFI_SUCCESS);
  EXPECT_EQ(Count, 0u);
  EXPECT_EQ(List, nullptr);
}

TEST_F(OptionsTest, ExtractRefusesWhatIsNotARequestOrOack) {
  Zem4Option *List = nullptr;
  UINT32 Count = 0;
  auto Dir = Packet(ZEM4_OP_DIR, {"a", "b"});
  EXPECT_EQ(Zem4ExtractOptions(Dir.data(), (UINT32)Dir.size(), &List, &Count),
            EFI_INVALID_PARAMETER);
  const uint8_t Ack[] = {0, 4, 0, 1};
  EXPECT_EQ(Zem4ExtractOptions(Ack, sizeof(Ack), &List, &Count), EFI_INVALID_PARAMETER);
  const uint8_t NoNul[] = {0, 1, 'f', 'i', 'l', 'e'};
  EXPECT_EQ(Zem4ExtractOptions(NoNul, sizeof(NoNul), &List, &Count), EFI_INVALID_PARAMETER);
  const uint8_t One[] = {0};
  EXPECT_EQ(Zem4ExtractOptions(One, 1, &List, &Count), EFI_INVALID_PARAMETER);
  EXPECT_EQ(List, nullptr);
}

TEST_F(OptionsTest, IncompletePairsKeepTheCompleteOnes) {
  auto Oack = Packet(ZEM4_OP_OACK, {"tsize", "512", "multicast"});
  Zem4Option *List = nullptr;
  UINT32 Count = 0;
  // "multicast\0" with no value.
  EXPECT_EQ(Zem4ExtractOptions(Oack.data(), (UINT32)Oack.size(), &List, &Count),
            EFI_PROTOCOL_ERROR);
  EXPECT_EQ(Count, 1u);
  ASSERT_NE(List, nullptr);
  EXPECT_EQ(Str(List[0].ValueStr), "512");
  gBS->FreePool(List);
  // The last value without its NUL.
  Oack.pop_back();
  Oack.insert(Oack.end(), {'1', '2'});
  EXPECT_EQ(Zem4ExtractOptions(Oack.data(), (UINT32)Oack.size(), &List, &Count),
            EFI_PROTOCOL_ERROR);
  EXPECT_EQ(Count, 1u);
  gBS->FreePool(List);
}

TEST_F(OptionsTest, MoreThan255PairsAreAProtocolError) {
  std::vector<std::string> Strings;
  for (int Index = 0; Index < 255; Index++) {
    Strings.push_back('n' + std::to_string(Index));
    Strings.push_back("v");
  }
  auto Exactly = Packet(ZEM4_OP_OACK, Strings);
  Zem4Option *List = nullptr;
  UINT32 Count = 0;
  ASSERT_EQ(Zem4ExtractOptions(Exactly.data(), (UINT32)Exactly.size(), &List, &Count), EFI_SUCCESS);
  EXPECT_EQ(Count, 255u);
  EXPECT_EQ(Str(List[254].OptionStr), "n254");
  gBS->FreePool(List);

  // The 256th pair is refused like an incomplete one: the list holds the 255
  // before it, the count says so, nothing is written beyond.
  Strings.push_back("n255");
  Strings.push_back("v");
  auto TooMany = Packet(ZEM4_OP_OACK, Strings);
  EXPECT_EQ(Zem4ExtractOptions(TooMany.data(), (UINT32)TooMany.size(), &List, &Count),
            EFI_PROTOCOL_ERROR);
  EXPECT_EQ(Count, 255u);
  ASSERT_NE(List, nullptr);
  EXPECT_EQ(Str(List[254].OptionStr), "n254");
  gBS->FreePool(List);

  Zem4NegotiatedOptions Options = Fresh();
  const auto Before = Options;
  EXPECT_EQ(Zem4ParseOack(&Options, TooMany.data(), (UINT32)TooMany.size()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(std::memcmp(&Options, &Before, sizeof(Options)), 0);
}

TEST_F(OptionsTest, ExtractWithoutPoolGivesNoListAndNoCount) {
  auto Oack = Packet(ZEM4_OP_OACK, {"tsize", "1"});
  Zem4Option *List = nullptr;
  UINT32 Count = 7;
  FailNext("AllocatePool");
  EXPECT_EQ(Zem4ExtractOptions(Oack.data(), (UINT32)Oack.size(), &List, &Count),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(List, nullptr);
  EXPECT_EQ(Count, 0u);
}

TEST_F(OptionsTest, BareOackResetsToDefaults) {
  Zem4NegotiatedOptions Options = Fresh();
  auto Bare = Packet(ZEM4_OP_OACK, {});
  ASSERT_EQ(Zem4ParseOack(&Options, Bare.data(), (UINT32)Bare.size()), EFI_SUCCESS);
  EXPECT_EQ(Options.Timeout, 3);
  EXPECT_EQ(Options.BlockSize, 1032);
  EXPECT_EQ(Options.BlockNumberSize, 4);
  EXPECT_EQ(Options.McastRole, MCAST_ROLE_UNICAST);
  EXPECT_EQ(Options.Tsize, 4294967295ull);
  EXPECT_EQ(Options.OptionsSeen, 0u);
  // The group is not reset.
  EXPECT_EQ(Options.McastPort, 0xA5A5);
  EXPECT_EQ(Options.McastIp.Addr[0], 0xA5);
}

TEST_F(OptionsTest, OackValues) {
  Zem4NegotiatedOptions Options = Fresh();
  auto Oack = Packet(ZEM4_OP_OACK, {"TSIZE", "512", "blksize", "9", "multicast", "224.1.2.3,69,1"});
  ASSERT_EQ(Zem4ParseOack(&Options, Oack.data(), (UINT32)Oack.size()), EFI_SUCCESS);
  EXPECT_EQ(Options.Tsize, 512u);
  EXPECT_EQ(Options.OptionsSeen, ZEM4_OPTION_BIT_TSIZE | ZEM4_OPTION_BIT_MULTICAST);
  EXPECT_EQ(Options.McastRole, MCAST_ROLE_ACTIVE);
  EXPECT_EQ(Options.McastPort, 69);
  const UINT8 Group[] = {224, 1, 2, 3};
  EXPECT_EQ(std::memcmp(Options.McastIp.Addr, Group, 4), 0);

  auto Passive =
      Packet(ZEM4_OP_OACK, {"multicast", "239.255.0.1,65535,0", "tsize", "1", "tsize", "7"});
  ASSERT_EQ(Zem4ParseOack(&Options, Passive.data(), (UINT32)Passive.size()), EFI_SUCCESS);
  EXPECT_EQ(Options.McastRole, MCAST_ROLE_PASSIVE);
  EXPECT_EQ(Options.McastPort, 65535);
  EXPECT_EQ(Options.Tsize, 7u); // the last value wins
}

TEST_F(OptionsTest, MulticastValueForms) {
  struct Case {
    const char *Value;
    bool Accepted;
  };
  const Case Cases[] = {
      {"224.1.2.3,,0", true},
      {"1...,,1", true},
      {"224.1.2.3,69", false},
      {"224.1.2.3,69,1x", false},
      {"256.0.0.1,1,1", false},
      {"224.1.2.3,65536,1", false},
      {"224.1.2.3,69,2", false},
      {",224.1.2.3,69,1", false},
      {"", false},
      // Wraps to 224 modulo 2^64 in a naive conversion.
      {"18446744073709551840.1.2.3,69,1", false},
      {"224.1.2.3,18446744073709551685,1", false},
  };
  for (const Case &C : Cases) {
    Zem4NegotiatedOptions Options = Fresh();
    Options.McastRole = 42;
    auto Oack = Packet(ZEM4_OP_OACK, {"multicast", C.Value});
    EFI_STATUS Status = Zem4ParseOack(&Options, Oack.data(), (UINT32)Oack.size());
    if (C.Accepted) {
      EXPECT_EQ(Status, EFI_SUCCESS) << C.Value;
    } else {
      EXPECT_EQ(Status, EFI_INVALID_PARAMETER) << C.Value;
      // Defaults applied, the group untouched by the failed value.
      EXPECT_EQ(Options.McastRole, MCAST_ROLE_UNICAST) << C.Value;
      EXPECT_EQ(Options.McastPort, 0xA5A5) << C.Value;
      EXPECT_EQ(Options.OptionsSeen, 0u) << C.Value;
    }
  }
  Zem4NegotiatedOptions Options = Fresh();
  auto Empty = Packet(ZEM4_OP_OACK, {"multicast", "1...,,1"});
  ASSERT_EQ(Zem4ParseOack(&Options, Empty.data(), (UINT32)Empty.size()), EFI_SUCCESS);
  const UINT8 Group[] = {1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(Options.McastIp.Addr, Group, 4), 0);
  EXPECT_EQ(Options.McastPort, 0);
}

TEST_F(OptionsTest, OackFailuresKeepWhatWasApplied) {
  Zem4NegotiatedOptions Options = Fresh();
  auto BadSize = Packet(ZEM4_OP_OACK, {"tsize", "5", "tsize", "x"});
  EXPECT_EQ(Zem4ParseOack(&Options, BadSize.data(), (UINT32)BadSize.size()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Options.Tsize, 5u);
  EXPECT_EQ(Options.OptionsSeen, ZEM4_OPTION_BIT_TSIZE);

  // Fails to split: the record keeps its previous contents.
  auto Cut = Packet(ZEM4_OP_OACK, {"tsize", "9"});
  Cut.pop_back();
  const auto Before = Options;
  EXPECT_EQ(Zem4ParseOack(&Options, Cut.data(), (UINT32)Cut.size()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(std::memcmp(&Options, &Before, sizeof(Options)), 0);
  EXPECT_TRUE(Logs().empty());
}

TEST_F(OptionsTest, ParseOptionsOperation) {
  auto Oack = Packet(ZEM4_OP_OACK, {"tsize", "1", "x", "y"});
  Zem4Option *List = nullptr;
  UINT32 Count = 0;
  ASSERT_EQ(Zem4ParseOptions(nullptr, (UINT32)Oack.size(), Oack.data(), &Count, &List),
            EFI_SUCCESS);
  EXPECT_EQ(Count, 2u);
  EXPECT_EQ(List[1].ValueStr, reinterpret_cast<CHAR8 *>(Oack.data() + Oack.size() - 2));
  gBS->FreePool(List);

  auto Request = Packet(ZEM4_OP_RRQ, {"multicast", "1"}, "f");
  ASSERT_EQ(Zem4ParseOptions(nullptr, (UINT32)Request.size(), Request.data(), &Count, &List),
            EFI_SUCCESS);
  EXPECT_EQ(Count, 1u);
  EXPECT_EQ(Str(List[0].OptionStr), "multicast");
  gBS->FreePool(List);

  auto Dir = Packet(ZEM4_OP_DIR, {"tsize", "1"}, "f");
  EXPECT_EQ(Zem4ParseOptions(nullptr, (UINT32)Dir.size(), Dir.data(), &Count, &List),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(List, nullptr);
  EXPECT_TRUE(Logs().empty());
}

TEST_F(OptionsTest, ParseOptionsArgumentChecks) {
  const uint8_t Two[] = {0, 6};
  Zem4Option *List = nullptr;
  UINT32 Count = 0;
  EXPECT_EQ(Zem4ParseOptions(nullptr, 2, const_cast<uint8_t *>(Two), &Count, &List),
            EFI_INVALID_PARAMETER);
  auto Logged = Logs();
  ASSERT_EQ(Logged.size(), 2u);
  EXPECT_EQ(Logged[0], "Zem4ParseOptions: Parameter invalid.\r\n");
  EXPECT_EQ(Logged[1].rfind("Zem4ParseOptions: PacketLen 2, Packet ", 0), 0u) << Logged[1];
  EXPECT_NE(Logged[1].find(",OptionCount "), std::string::npos);
  EXPECT_EQ(LogLevels(), (std::vector<UINT32>{DIAG_NOTICE, DIAG_NOTICE}));

  auto Oack = Packet(ZEM4_OP_OACK, {"a", "b"});
  EXPECT_EQ(Zem4ParseOptions(nullptr, (UINT32)Oack.size(), nullptr, &Count, &List),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Zem4ParseOptions(nullptr, (UINT32)Oack.size(), Oack.data(), nullptr, &List),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Zem4ParseOptions(nullptr, (UINT32)Oack.size(), Oack.data(), &Count, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Logs().size(), 8u);
}

TEST_F(OptionsTest, GetModeDataLists) {
  EXPECT_EQ(Str(Zem4SupportedOptions[0]), "multicast");
  EXPECT_EQ(Str(Zem4SupportedOptions[1]), "tsize");
  EXPECT_EQ(Str(Zem4UnsupportedOptions[0]), "restart");
  EXPECT_EQ(Str(Zem4UnsupportedOptions[1]), "session");
}
