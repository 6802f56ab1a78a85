// Sparkplug B payloads: encoded and decoded with nanopb from
// sparkplug_b.proto, and the tags' values as metrics.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "serve/tag.h"

namespace mira::serve::mqtt::spb {

// The datatypes the gateway uses, by their published numbers.
enum DataType : uint32_t { kInt16 = 2, kInt32 = 3, kUInt64 = 8, kFloat = 9, kBoolean = 11, kString = 12 };

// Quality codes of the "Quality" property.
inline constexpr int32_t kQualityBad = 0;
inline constexpr int32_t kQualityGoodCode = 192;

using MetricValue = std::variant<std::monostate, uint32_t, uint64_t, float, double, bool, std::string>;

struct Metric {
    std::optional<std::string> name;
    std::optional<uint64_t> alias;
    std::optional<uint64_t> timestamp;  // ms since 1970 UTC
    std::optional<uint32_t> datatype;
    bool isNull = false;
    MetricValue value;
    std::optional<int32_t> quality;  // written as the property "Quality"; not read back
};

struct Payload {
    std::optional<uint64_t> timestamp;
    std::optional<uint64_t> seq;
    std::vector<Metric> metrics;
};

// The payload's bytes. A text longer than its field holds (a name over 127
// bytes, a string over 511) is cut at a character boundary.
std::string Encode(const Payload& payload);

// False for bytes that are no payload, or hold more than `maxMetrics`
// metrics, or a name or text longer than its field.
bool Decode(std::string_view bytes, Payload* out, size_t maxMetrics = 4096);

// The datatype of a tag: words Int16, BCD words Int32 (a decimal value, not
// the word's bits), bits Boolean, floats Float, strings String.
uint32_t DataTypeOf(TagKind kind);

// A tag's value as a metric of its datatype: no value yet is is_null.
void SetValue(TagKind kind, const Value& value, Metric* metric);

// The value a command's metric asks to write, as the JSON the store's write
// takes; nullopt when the metric carries none of a kind the tag can take. A
// signed 16-bit value is taken in either of its forms: sign-extended to 32
// bits, or as the 16 bits alone.
std::optional<nlohmann::json> WriteValue(TagKind kind, const Metric& metric);

}  // namespace mira::serve::mqtt::spb
