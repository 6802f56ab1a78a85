#include "serve/mqtt/sparkplug.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cmath>
#include <cstring>

#include "sparkplug_b.pb.h"

namespace mira::serve::mqtt::spb {
namespace {

// Copies text into a fixed field of `size` bytes with its terminator, cut at
// a character boundary when it is longer.
template <size_t N>
void CopyText(const std::string& text, char (&field)[N]) {
    size_t n = std::min(text.size(), N - 1);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

bool EncodeQuality(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const int32_t quality = *static_cast<const int32_t*>(*arg);
    spb_Payload_PropertySet set = spb_Payload_PropertySet_init_zero;
    set.keys_count = 1;
    CopyText("Quality", set.keys[0]);
    set.values_count = 1;
    set.values[0].has_type = true;
    set.values[0].type = kInt32;
    set.values[0].which_value = spb_Payload_PropertyValue_int_value_tag;
    set.values[0].value.int_value = static_cast<uint32_t>(quality);
    return pb_encode_tag_for_field(stream, field) && pb_encode_submessage(stream, spb_Payload_PropertySet_fields, &set);
}

bool EncodeMetrics(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const Metric& m : *static_cast<const std::vector<Metric>*>(*arg)) {
        spb_Payload_Metric out = spb_Payload_Metric_init_zero;
        if (m.name) {
            out.has_name = true;
            CopyText(*m.name, out.name);
        }
        out.has_alias = m.alias.has_value();
        out.alias = m.alias.value_or(0);
        out.has_timestamp = m.timestamp.has_value();
        out.timestamp = m.timestamp.value_or(0);
        out.has_datatype = m.datatype.has_value();
        out.datatype = m.datatype.value_or(0);
        if (m.isNull) {
            out.has_is_null = true;
            out.is_null = true;
        }
        if (m.quality) {
            out.properties.funcs.encode = EncodeQuality;
            out.properties.arg = const_cast<int32_t*>(&*m.quality);
        }
        if (const auto* v = std::get_if<uint32_t>(&m.value)) {
            out.which_value = spb_Payload_Metric_int_value_tag;
            out.value.int_value = *v;
        } else if (const auto* l = std::get_if<uint64_t>(&m.value)) {
            out.which_value = spb_Payload_Metric_long_value_tag;
            out.value.long_value = *l;
        } else if (const auto* f = std::get_if<float>(&m.value)) {
            out.which_value = spb_Payload_Metric_float_value_tag;
            out.value.float_value = *f;
        } else if (const auto* d = std::get_if<double>(&m.value)) {
            out.which_value = spb_Payload_Metric_double_value_tag;
            out.value.double_value = *d;
        } else if (const auto* b = std::get_if<bool>(&m.value)) {
            out.which_value = spb_Payload_Metric_boolean_value_tag;
            out.value.boolean_value = *b;
        } else if (const auto* s = std::get_if<std::string>(&m.value)) {
            out.which_value = spb_Payload_Metric_string_value_tag;
            CopyText(*s, out.value.string_value);
        }
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, spb_Payload_Metric_fields, &out))
            return false;
    }
    return true;
}

bool Append(pb_ostream_t* stream, const pb_byte_t* buf, size_t count) {
    static_cast<std::string*>(stream->state)->append(reinterpret_cast<const char*>(buf), count);
    return true;
}

struct DecodeContext {
    std::vector<Metric>* out;
    size_t most;
};

bool DecodeMetric(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* context = static_cast<DecodeContext*>(*arg);
    if (context->out->size() >= context->most) return false;
    // Properties stay without a callback, so they are skipped.
    spb_Payload_Metric in = spb_Payload_Metric_init_zero;
    if (!pb_decode(stream, spb_Payload_Metric_fields, &in)) return false;
    Metric m;
    if (in.has_name) m.name = in.name;
    if (in.has_alias) m.alias = in.alias;
    if (in.has_timestamp) m.timestamp = in.timestamp;
    if (in.has_datatype) m.datatype = in.datatype;
    m.isNull = in.has_is_null && in.is_null;
    switch (in.which_value) {
        case spb_Payload_Metric_int_value_tag: m.value = in.value.int_value; break;
        case spb_Payload_Metric_long_value_tag: m.value = in.value.long_value; break;
        case spb_Payload_Metric_float_value_tag: m.value = in.value.float_value; break;
        case spb_Payload_Metric_double_value_tag: m.value = in.value.double_value; break;
        case spb_Payload_Metric_boolean_value_tag: m.value = in.value.boolean_value; break;
        case spb_Payload_Metric_string_value_tag: m.value = std::string(in.value.string_value); break;
        default: break;
    }
    context->out->push_back(std::move(m));
    return true;
}

}  // namespace

std::string Encode(const Payload& payload) {
    spb_Payload p = spb_Payload_init_zero;
    p.has_timestamp = payload.timestamp.has_value();
    p.timestamp = payload.timestamp.value_or(0);
    p.has_seq = payload.seq.has_value();
    p.seq = payload.seq.value_or(0);
    p.metrics.funcs.encode = EncodeMetrics;
    p.metrics.arg = const_cast<std::vector<Metric>*>(&payload.metrics);
    std::string bytes;
    pb_ostream_t stream = {Append, &bytes, SIZE_MAX, 0, nullptr};
    // Writing into a growing string fails only where memory does.
    if (!pb_encode(&stream, spb_Payload_fields, &p)) bytes.clear();
    return bytes;
}

bool Decode(std::string_view bytes, Payload* out, size_t maxMetrics) {
    *out = Payload{};
    spb_Payload p = spb_Payload_init_zero;
    DecodeContext context{&out->metrics, maxMetrics};
    p.metrics.funcs.decode = DecodeMetric;
    p.metrics.arg = &context;
    pb_istream_t stream = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
    if (!pb_decode(&stream, spb_Payload_fields, &p)) return false;
    if (p.has_timestamp) out->timestamp = p.timestamp;
    if (p.has_seq) out->seq = p.seq;
    return true;
}

uint32_t DataTypeOf(TagKind kind) {
    switch (kind) {
        case TagKind::Word: return kInt16;
        case TagKind::Bcd: return kInt32;
        case TagKind::Bit: return kBoolean;
        case TagKind::Float: return kFloat;
        case TagKind::String: return kString;
    }
    return kInt32;
}

void SetValue(TagKind kind, const Value& value, Metric* metric) {
    metric->isNull = false;
    if (const auto* i = std::get_if<int32_t>(&value)) {
        if (kind == TagKind::Bit)
            metric->value = *i != 0;
        else if (kind == TagKind::Float)
            metric->value = static_cast<float>(*i);
        else
            metric->value = static_cast<uint32_t>(*i);  // two's complement, sign-extended
    } else if (const auto* d = std::get_if<double>(&value); d != nullptr && std::isfinite(*d)) {
        metric->value = static_cast<float>(*d);
    } else if (const auto* s = std::get_if<std::string>(&value)) {
        metric->value = *s;
    } else {
        metric->value = std::monostate{};
        metric->isNull = true;
    }
}

std::optional<nlohmann::json> WriteValue(TagKind kind, const Metric& metric) {
    const MetricValue& v = metric.value;
    if (metric.isNull) return std::nullopt;
    if (kind == TagKind::String) {
        if (const auto* s = std::get_if<std::string>(&v)) return nlohmann::json(*s);
        return std::nullopt;
    }
    if (const auto* b = std::get_if<bool>(&v)) {
        if (kind == TagKind::Bit) return nlohmann::json(*b);
        return std::nullopt;
    }
    if (const auto* i = std::get_if<uint32_t>(&v)) {
        int64_t n = static_cast<int32_t>(*i);
        // A 16-bit value sent as its 16 bits alone.
        if (metric.datatype == kInt16 && *i >= 0x8000u && *i <= 0xFFFFu) n = static_cast<int16_t>(*i);
        return nlohmann::json(n);
    }
    if (const auto* l = std::get_if<uint64_t>(&v)) return nlohmann::json(static_cast<int64_t>(*l));
    if (const auto* f = std::get_if<float>(&v)) return nlohmann::json(static_cast<double>(*f));
    if (const auto* d = std::get_if<double>(&v)) return nlohmann::json(*d);
    return std::nullopt;
}

}  // namespace mira::serve::mqtt::spb
