// A log line as named, typed fields. The text line and the JSON line are both
// rendered from it, so a field added for one is in the other, typed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zem4::server {

enum class NoteLevel { Debug, Info, Warn, Error };

// Ours: written bare (client=127.0.0.1:40312), so without blanks in a line of
// pairs; a prose line may have them.
struct Word {
  std::string Value;
};
// Anything that may carry a peer's bytes: quoted and escaped (file="a\x0ab").
struct Text {
  std::string Value;
};
// "0.412s" in text; a number under NAME_s in JSON.
struct Seconds {
  double Value = 0;
};
// "3757468B/s" in text; a number under NAME_bytes_per_s in JSON.
struct Rate {
  double BytesPerSecond = 0;
};
using LogValue = std::variant<Word, Text, uint64_t, Seconds, Rate>;

struct LogField {
  std::string Name; // lower case and '_' only: the text line is split at '=' and ' '
  LogValue Value;
};

struct LogRecord {
  std::string Event; // what kind of line: "transfer", "refused", "stats", ...
  std::string Head;  // what the text line starts with: "transfer", "stats:", ...
  std::vector<LogField> Fields;
  // The text line is Head alone, each "{name}" in it that field's value as
  // the pairs have it: "{lines} similar lines suppressed".
  bool Prose = false;

  LogRecord &Add(std::string Name, LogValue Value);
  // "a=1 b="x"": the fields as the text line has them.
  std::string Pairs() const;
  // Head, a blank, the pairs; or the prose.
  std::string Line() const;
  // "event":"...", then each field: strings as strings, counts as numbers,
  // seconds and rates as numbers with their unit in the name ("time_s",
  // "rate_bytes_per_s").
  std::string Json() const;
};

// Text as a JSON string: quotes, backslashes and control characters escaped.
void AppendJsonString(std::string &Out, std::string_view Text);

} // namespace zem4::server
