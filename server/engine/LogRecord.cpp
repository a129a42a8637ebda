#include "server/engine/LogRecord.h"

#include "server/engine/Types.h"

#include <fmt/format.h>

namespace zem4::server {

namespace {

struct TextOf {
  std::string operator()(const Word &W) const { return W.Value; }
  std::string operator()(const Text &T) const { return "\"" + EscapeText(T.Value) + "\""; }
  std::string operator()(uint64_t N) const { return std::to_string(N); }
  std::string operator()(const Seconds &S) const { return fmt::format("{:.3f}s", S.Value); }
  std::string operator()(const Rate &R) const { return fmt::format("{:.0f}B/s", R.BytesPerSecond); }
};

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
  return Fields.empty() ? Head : Head + " " + Pairs();
}

} // namespace zem4::server
