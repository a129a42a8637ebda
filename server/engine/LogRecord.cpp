#include "server/engine/LogRecord.h"

#include "server/engine/Types.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace zem4::server {

namespace {

struct TextOf {
  std::string operator()(const Word &W) const { return W.Value; }
  // fmt rather than "\"" + a temporary: GCC 12 at -O3 takes the latter for an
  // overlapping copy (-Wrestrict).
  std::string operator()(const Text &T) const { return fmt::format("\"{}\"", EscapeText(T.Value)); }
  std::string operator()(uint64_t N) const { return std::to_string(N); }
  std::string operator()(const Seconds &S) const { return fmt::format("{:.3f}s", S.Value); }
  std::string operator()(const Rate &R) const { return fmt::format("{:.0f}B/s", R.BytesPerSecond); }
};

// JSON has no NaN or infinity (a duration or rate never is one).
std::string JsonNumber(double Value, bool Whole) {
  if (!std::isfinite(Value)) {
    return "0";
  }
  return Whole ? fmt::format("{:.0f}", Value) : fmt::format("{}", Value);
}

void AppendJsonField(std::string &Out, const LogField &F) {
  auto Field = [&](std::string_view Unit, const std::string &Value, bool Quote) {
    Out += ",";
    AppendJsonString(Out, F.Name + std::string(Unit));
    Out += ":";
    if (Quote) {
      AppendJsonString(Out, Value);
    } else {
      Out += Value;
    }
  };
  std::visit(
      [&](const auto &V) {
        using T = std::decay_t<decltype(V)>;
        if constexpr (std::is_same_v<T, Word>) {
          Field("", V.Value, true);
        } else if constexpr (std::is_same_v<T, Text>) {
          Field("", EscapeText(V.Value), true); // the text line's escapes: ASCII only
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          Field("", std::to_string(V), false);
        } else if constexpr (std::is_same_v<T, Seconds>) {
          Field("_s", JsonNumber(V.Value, false), false);
        } else {
          Field("_bytes_per_s", JsonNumber(V.BytesPerSecond, true), false);
        }
      },
      F.Value);
}

} // namespace

LogRecord &LogRecord::Add(std::string Name, LogValue Value) {
  Fields.push_back({std::move(Name), std::move(Value)});
  return *this;
}

std::string LogRecord::Pairs() const {
  std::string Out;
  for (const auto &F : Fields) {
    Out += fmt::format("{}{}={}", Out.empty() ? "" : " ", F.Name, std::visit(TextOf{}, F.Value));
  }
  return Out;
}

std::string LogRecord::Line() const {
  if (!Prose) {
    return Fields.empty() ? Head : Head + " " + Pairs();
  }
  std::string Out;
  size_t I = 0;
  for (size_t Open; (Open = Head.find('{', I)) != std::string::npos;) {
    size_t Close = Head.find('}', Open);
    auto F = std::find_if(Fields.begin(), Fields.end(), [&](const LogField &F) {
      return Close != std::string::npos && Head.compare(Open + 1, Close - Open - 1, F.Name) == 0;
    });
    if (F == Fields.end()) {
      break; // not a field: the rest as it is
    }
    Out += Head.substr(I, Open - I) + std::visit(TextOf{}, F->Value);
    I = Close + 1;
  }
  return Out + Head.substr(I);
}

std::string LogRecord::Json() const {
  std::string Out = "\"event\":";
  AppendJsonString(Out, Event);
  for (const auto &F : Fields) {
    AppendJsonField(Out, F);
  }
  return Out;
}

void AppendJsonString(std::string &Out, std::string_view Text) {
  Out.push_back('"');
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      Out.push_back('\\');
      Out.push_back(static_cast<char>(C));
    } else if (C < 0x20 || C == 0x7F) {
      Out += fmt::format("\\u{:04x}", C);
    } else {
      Out.push_back(static_cast<char>(C));
    }
  }
  Out.push_back('"');
}

} // namespace zem4::server
