#include "serve/modbus/modbus_map.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "host/options.h"
#include "host/text.h"

namespace mira::serve::modbus {
namespace {

constexpr const char* kPrefixes[kTables] = {"co", "di", "hr", "ir"};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The four bytes of a float's bits, A first, in the registers of an order.
void PutBits(uint32_t bits, FloatOrder order, uint16_t* out) {
    const auto high = static_cast<uint16_t>(bits >> 16), low = static_cast<uint16_t>(bits);
    const auto swap = [](uint16_t r) { return static_cast<uint16_t>((r << 8) | (r >> 8)); };
    switch (order) {
        case FloatOrder::Abcd: out[0] = high, out[1] = low; break;
        case FloatOrder::Cdab: out[0] = low, out[1] = high; break;
        case FloatOrder::Badc: out[0] = swap(high), out[1] = swap(low); break;
        case FloatOrder::Dcba: out[0] = swap(low), out[1] = swap(high); break;
    }
}

// Each order undoes itself over a pair of registers, so reading them back
// is putting them again and taking the high word first.
uint32_t TakeBits(const uint16_t* in, FloatOrder order) {
    uint16_t r[2] = {0, 0};
    PutBits((static_cast<uint32_t>(in[0]) << 16) | in[1], order, r);
    return (static_cast<uint32_t>(r[0]) << 16) | r[1];
}

}  // namespace

const char* TablePrefix(Table table) { return kPrefixes[static_cast<size_t>(table)]; }

std::optional<FloatOrder> ParseFloatOrder(const std::string& text) {
    static const std::pair<const char*, FloatOrder> kOrders[] = {
        {"ABCD", FloatOrder::Abcd}, {"CDAB", FloatOrder::Cdab}, {"BADC", FloatOrder::Badc}, {"DCBA", FloatOrder::Dcba}};
    for (const auto& [name, order] : kOrders)
        if (text == name) return order;
    return std::nullopt;
}

const char* FloatOrderName(FloatOrder order) {
    switch (order) {
        case FloatOrder::Abcd: return "ABCD";
        case FloatOrder::Cdab: return "CDAB";
        case FloatOrder::Badc: return "BADC";
        case FloatOrder::Dcba: return "DCBA";
    }
    return "ABCD";
}

uint32_t WidthOf(const TagInfo& tag) {
    switch (tag.kind) {
        case TagKind::Float: return 2;
        case TagKind::String: return static_cast<uint32_t>(std::max(1, (tag.chars + 1) / 2));
        default: return 1;
    }
}

bool ParsePlace(const std::string& text, const TagInfo& tag, Place* out, std::string* why) {
    const std::string t = Lower(text);
    const size_t colon = t.find(':');
    const std::string prefix = t.substr(0, colon);
    const auto* found = std::find_if(std::begin(kPrefixes), std::end(kPrefixes),
                                     [&](const char* p) { return prefix == p; });
    uint32_t start = 0;
    if (colon == std::string::npos || found == std::end(kPrefixes) ||
        !host::ParseUnsigned(t.substr(colon + 1), 0, 65535, &start)) {
        *why = "\"hr:N\", \"ir:N\", \"co:N\" or \"di:N\" with N from 0 to 65535";
        return false;
    }
    Place p;
    p.table = static_cast<Table>(found - std::begin(kPrefixes));
    p.start = static_cast<uint16_t>(start);
    p.count = WidthOf(tag);
    const bool bit = tag.kind == TagKind::Bit;
    if (bit != IsBitTable(p.table)) {
        *why = bit ? "a bit takes a coil or a discrete input (co:N or di:N)"
                   : std::string("a ") + KindName(tag.kind) + " takes registers (hr:N or ir:N)";
        return false;
    }
    if (p.end() > 65536) {
        *why = "its " + std::to_string(p.count) + " registers run past 65535";
        return false;
    }
    *out = p;
    return true;
}

std::string PlaceText(const Place& place) {
    std::string text = TablePrefix(place.table);
    text += ':';
    text += std::to_string(place.start);
    if (place.count > 1) text += '-' + std::to_string(place.end() - 1);
    return text;
}

std::optional<std::string> MappingOf(const TagInfo& tag) {
    const auto face = tag.faces.find("modbus");
    if (face == tag.faces.end() || !face->is_object()) return std::nullopt;
    const auto key = face->find("modbus");
    if (key == face->end() || !key->is_string()) return std::nullopt;
    return key->get<std::string>();
}

RegisterMap RegisterMap::Build(const std::vector<TagInfo>& tags, std::vector<std::pair<size_t, size_t>>* overlaps) {
    RegisterMap map;
    std::array<std::vector<Entry>, kTables> all;
    for (size_t i = 0; i < tags.size(); ++i) {
        const std::optional<std::string> text = MappingOf(tags[i]);
        Place place;
        std::string why;
        if (text && ParsePlace(*text, tags[i], &place, &why)) all[static_cast<size_t>(place.table)].push_back({place, i});
    }
    for (size_t t = 0; t < kTables; ++t) {
        std::stable_sort(all[t].begin(), all[t].end(),
                         [](const Entry& a, const Entry& b) { return a.place.start < b.place.start; });
        for (const Entry& e : all[t]) {
            std::vector<Entry>& kept = map.tables_[t];
            if (!kept.empty() && e.place.start < kept.back().place.end()) {
                if (overlaps != nullptr) overlaps->emplace_back(kept.back().tag, e.tag);
                continue;
            }
            kept.push_back(e);
        }
    }
    return map;
}

bool RegisterMap::empty() const {
    return std::all_of(tables_.begin(), tables_.end(), [](const auto& t) { return t.empty(); });
}

bool RegisterMap::Cover(Table table, uint32_t address, uint32_t quantity, std::vector<const Entry*>* out) const {
    out->clear();
    const std::vector<Entry>& entries = Of(table);
    // The last entry starting at or before the address, then each after it
    // while the range goes on; any address between them is a gap.
    auto it = std::upper_bound(entries.begin(), entries.end(), address,
                               [](uint32_t a, const Entry& e) { return a < e.place.start; });
    if (it == entries.begin()) return false;
    --it;
    const uint32_t end = address + quantity;
    uint32_t next = address;  // the first address not yet covered
    for (; it != entries.end() && next < end; ++it) {
        if (it->place.start > next || it->place.end() <= next) return false;
        out->push_back(&*it);
        next = it->place.end();
    }
    return next >= end;
}

bool Encode(const TagInfo& tag, const Value& value, FloatOrder order, uint16_t* out) {
    const uint32_t width = WidthOf(tag);
    std::fill(out, out + width, uint16_t{0});
    switch (tag.kind) {
        case TagKind::Float: {
            const double* d = std::get_if<double>(&value);
            // A controller's float is single precision; a double past that
            // range came from elsewhere and has no true float to show.
            if (d == nullptr || (std::isfinite(*d) && std::fabs(*d) > FLT_MAX)) return false;
            const float f = static_cast<float>(*d);
            uint32_t bits = 0;
            std::memcpy(&bits, &f, sizeof bits);
            PutBits(bits, order, out);
            return true;
        }
        case TagKind::String: {
            const std::string* s = std::get_if<std::string>(&value);
            if (s == nullptr) return false;
            const std::u16string w = host::ToWide(*s);
            if (w.size() > 2 * width) return false;
            for (size_t i = 0; i < w.size(); ++i) {
                if (w[i] > 0xFF) return false;
                out[i / 2] = static_cast<uint16_t>(out[i / 2] | (i % 2 == 0 ? w[i] << 8 : w[i]));
            }
            return true;
        }
        case TagKind::Bit: {
            const int32_t* i = std::get_if<int32_t>(&value);
            if (i == nullptr) return false;
            out[0] = *i != 0 ? 1 : 0;
            return true;
        }
        case TagKind::Word:
        case TagKind::Bcd: {
            // A word reads as its 16 bits: -1 is 0xFFFF, as a client that takes
            // the register as signed expects; BCD values are 0 to 9999.
            const int32_t* i = std::get_if<int32_t>(&value);
            if (i == nullptr || *i < -32768 || *i > 65535) return false;
            out[0] = static_cast<uint16_t>(*i);
            return true;
        }
    }
    return false;
}

nlohmann::json DecodeWrite(const TagInfo& tag, const uint16_t* in, FloatOrder order) {
    switch (tag.kind) {
        case TagKind::Float: {
            const uint32_t bits = TakeBits(in, order);
            float f = 0;
            std::memcpy(&f, &bits, sizeof f);
            return static_cast<double>(f);
        }
        case TagKind::String: {
            std::u16string w;
            for (uint32_t i = 0; i < 2 * WidthOf(tag); ++i) {
                const auto byte = static_cast<char16_t>(i % 2 == 0 ? in[i / 2] >> 8 : in[i / 2] & 0xFF);
                if (byte == 0) break;
                w.push_back(byte);
            }
            return host::ToUtf8(w.c_str(), w.size());
        }
        case TagKind::Bit: return in[0] != 0 ? 1 : 0;
        case TagKind::Bcd: return in[0];
        case TagKind::Word: return static_cast<int16_t>(in[0]);
    }
    return nullptr;
}

}  // namespace mira::serve::modbus
