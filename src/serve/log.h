// The log of `mira serve`: one line per event on stderr, with its level.
// Under systemd (JOURNAL_STREAM set: stderr is the journal) each line starts
// with the journal's priority prefix, <3> error to <7> debug, which journald
// takes as the entry's priority; elsewhere with the level's word, for a
// person at a terminal. Every thread may log; lines never interleave.
//
// Nothing secret is ever passed here: the write token, and the
// Authorization header that carries it, stay out of every message.
#pragma once

#include <string>

namespace mira::serve {

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

struct LogSettings {
    LogLevel most = LogLevel::Info;  // --quiet: Warning; --verbose: Debug
    bool journal = false;            // the <N> prefixes instead of level words
};

// The settings of a process started as `mira serve` is: journal prefixes
// where stderr is the journal.
LogSettings DefaultLogSettings();
void SetLogSettings(const LogSettings& settings);

bool Logs(LogLevel level);
void Log(LogLevel level, const std::string& message);

}  // namespace mira::serve
