// Where zem4d's lines go and in what form: stderr as text by default, the
// journal when it is what stderr is, syslog or JSON lines when asked.
#pragma once

#include <string>
#include <string_view>

namespace zem4::server {

// --log-target values: "auto" is the journal when $JOURNAL_STREAM names our
// stderr, else stderr.
inline constexpr const char *kLogTargets[] = {"auto", "stderr", "journal", "syslog"};
inline constexpr const char *kLogFormats[] = {"text", "json"};

// $JOURNAL_STREAM ("DEVICE:INODE") is the stream our stderr is: systemd sets
// it for a service's output, and a child that inherits it with another
// stderr must not believe it.
bool StderrIsJournal();

// "stderr", "journal" or "syslog" for a --log-target value.
std::string ResolveLogTarget(const std::string &Target);

// Makes the default logger "zem4d" write to Target in Format.
void InstallLogger(const std::string &Target, const std::string &Format);

// One JSON object for a log line. Lines of key=value pairs (a transfer, the
// totals) carry each pair as a field of the same name: digits as numbers,
// anything else as a string, quoted values as the text line has them.
std::string JsonLogLine(std::string_view Time, std::string_view Level, std::string_view Message);

} // namespace zem4::server
