// One table of the configuration as its owner reads it (the core reads
// [line], [[scan]] and [[tag]]; a face its own section and its tag keys),
// and the list of problems found, every one with file, line and column.
// The TOML reader stays behind the loader: an owner sees plain JSON values.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "serve/tag.h"

namespace mira::serve {

// A text in double quotes, with JSON's escapes: "tank/level".
std::string Quoted(const std::string& text);

// Every problem of one file, in file order:
//   mira.toml:12:11: tag "tank/level": address "T4:0.XYZ": bad mnemonic (-34)
class Problems {
public:
    explicit Problems(std::string file) : file_(std::move(file)) {}
    void Add(SourcePos where, const std::string& message);
    bool empty() const { return list_.empty(); }
    size_t size() const { return list_.size(); }
    // One problem a line, sorted by position, each "file:line:column: message".
    std::string Text() const;

private:
    struct Entry {
        SourcePos where;
        size_t order;
        std::string text;
    };
    std::string file_;
    std::vector<Entry> list_;
};

// A value of the file: a TOML string, integer, float or boolean as the JSON
// of the same kind; an array or table as a JSON array or object; a date or
// time as its text.
struct ConfigValue {
    nlohmann::json value;
    SourcePos where;     // of the value
    SourcePos keyWhere;  // of its key
    // The value as the file shows it: "T4:0.XYZ" with its quotes, 19200, true.
    std::string Shown() const;
};

class ConfigTable {
public:
    // context names the table in messages: "line", "http", "tag \"tank/level\"".
    ConfigTable(std::string context, SourcePos where, std::map<std::string, ConfigValue> values, Problems* problems);

    const std::string& context() const { return context_; }
    void SetContext(std::string context) { context_ = std::move(context); }
    SourcePos where() const { return where_; }
    Problems& problems() { return *problems_; }

    // The value of key, now known to its owner; null when the table has none.
    const ConfigValue* Take(const std::string& key);
    // The typed values of key, or nullopt when absent or of another type (a
    // wrong type is reported: "expected a text").
    std::optional<std::string> TakeString(const std::string& key);
    std::optional<int64_t> TakeInteger(const std::string& key);
    std::optional<bool> TakeBool(const std::string& key);

    // Reports at the value: "<context>: <key> <shown>: <why>".
    void Error(const std::string& key, const ConfigValue& value, const std::string& why);
    // Reports at the table: "<context>: <why>".
    void Error(const std::string& why);
    // Reports every key nobody took: "<context>: unknown key \"baudrate\"".
    void ReportUnknown();

private:
    const ConfigValue* TakeTyped(const std::string& key, bool (nlohmann::json::*is)() const noexcept,
                                 const char* expected);
    std::string context_;
    SourcePos where_;
    std::map<std::string, ConfigValue> values_;
    std::map<std::string, bool> taken_;
    Problems* problems_;
};

}  // namespace mira::serve
