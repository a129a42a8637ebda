// Where zem4d's lines go and in what form: stderr as text by default, the
// journal when it is what stderr is, syslog or JSON lines when asked.
#pragma once

#include "server/engine/LogRecord.h"

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

// Writes a line of typed fields at Level: its text in the text formats, and
// in JSON its text as "msg", its event and each field typed (numbers as
// numbers, seconds and rates under their name with the unit).
void LogLine(NoteLevel Level, const LogRecord &Record);

// One JSON object for a log line; Record, when there is one, adds its fields.
std::string JsonLogLine(std::string_view Time, std::string_view Level, std::string_view Message,
                        const LogRecord *Record = nullptr);

} // namespace zem4::server
