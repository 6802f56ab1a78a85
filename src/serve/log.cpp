#include "serve/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace mira::serve {
namespace {

std::atomic<int> g_most{static_cast<int>(LogLevel::Info)};
std::atomic<bool> g_journal{false};
std::mutex g_write;

const char* LevelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "error";
        case LogLevel::Warning: return "warning";
        case LogLevel::Notice: return "notice";
        case LogLevel::Info: return "info";
        case LogLevel::Debug: return "debug";
    }
    return "info";
}

}  // namespace

LogSettings DefaultLogSettings() {
    LogSettings s;
    const char* stream = std::getenv("JOURNAL_STREAM");
    s.journal = stream != nullptr && *stream != 0;
    return s;
}

void SetLogSettings(const LogSettings& settings) {
    g_most.store(static_cast<int>(settings.most));
    g_journal.store(settings.journal);
}

bool Logs(LogLevel level) { return static_cast<int>(level) <= g_most.load(); }

void Log(LogLevel level, const std::string& message) {
    if (!Logs(level)) return;
    std::string line;
    if (g_journal.load()) {
        line += '<';
        line += static_cast<char>('0' + static_cast<int>(level));
        line += '>';
    } else {
        line += "mira serve: ";
        line += LevelWord(level);
        line += ": ";
    }
    // One entry a line: a line feed inside a message would start another.
    for (char c : message) line += c == '\n' || c == '\r' ? ' ' : c;
    line += '\n';
    std::lock_guard<std::mutex> lock(g_write);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace mira::serve
