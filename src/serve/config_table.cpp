#include "serve/config_table.h"

#include <algorithm>

namespace mira::serve {

void Problems::Add(SourcePos where, const std::string& message) {
    list_.push_back({where, list_.size(), message});
}

std::string Problems::Text() const {
    std::vector<const Entry*> sorted;
    for (const Entry& e : list_) sorted.push_back(&e);
    std::stable_sort(sorted.begin(), sorted.end(), [](const Entry* a, const Entry* b) {
        if (a->where.line != b->where.line) return a->where.line < b->where.line;
        return a->where.column < b->where.column;
    });
    std::string text;
    for (const Entry* e : sorted)
        text += file_ + ":" + std::to_string(e->where.line) + ":" + std::to_string(e->where.column) + ": " + e->text +
                "\n";
    return text;
}

std::string Quoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ConfigValue::Shown() const {
    // JSON writes strings, numbers and booleans as TOML does.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ConfigTable::ConfigTable(std::string context, SourcePos where, std::map<std::string, ConfigValue> values,
                         Problems* problems)
    : context_(std::move(context)), where_(where), values_(std::move(values)), problems_(problems) {}

const ConfigValue* ConfigTable::Take(const std::string& key) {
    const auto it = values_.find(key);
    if (it == values_.end()) return nullptr;
    taken_[key] = true;
    return &it->second;
}

const ConfigValue* ConfigTable::TakeTyped(const std::string& key, bool (nlohmann::json::*is)() const noexcept,
                                           const char* expected) {
    const ConfigValue* v = Take(key);
    if (v == nullptr || (v->value.*is)()) return v;
    Error(key, *v, expected);
    return nullptr;
}

std::optional<std::string> ConfigTable::TakeString(const std::string& key) {
    const ConfigValue* v = TakeTyped(key, &nlohmann::json::is_string, "expected a text");
    return v ? std::optional<std::string>(v->value.get<std::string>()) : std::nullopt;
}

std::optional<int64_t> ConfigTable::TakeInteger(const std::string& key) {
    const ConfigValue* v = TakeTyped(key, &nlohmann::json::is_number_integer, "expected a whole number");
    return v ? std::optional<int64_t>(v->value.get<int64_t>()) : std::nullopt;
}

std::optional<bool> ConfigTable::TakeBool(const std::string& key) {
    const ConfigValue* v = TakeTyped(key, &nlohmann::json::is_boolean, "expected true or false");
    return v ? std::optional<bool>(v->value.get<bool>()) : std::nullopt;
}

void ConfigTable::Error(const std::string& key, const ConfigValue& value, const std::string& why) {
    problems_->Add(value.where, context_ + ": " + key + " " + value.Shown() + ": " + why);
}

void ConfigTable::Error(const std::string& why) { problems_->Add(where_, context_ + ": " + why); }

void ConfigTable::ReportUnknown() {
    for (const auto& [key, value] : values_)
        if (!taken_.count(key)) problems_->Add(value.keyWhere, context_ + ": unknown key " + Quoted(key));
}

}  // namespace mira::serve
