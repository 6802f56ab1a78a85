#include "cli/output.h"

#include <algorithm>

#include "host/text.h"

namespace mira::cli {

using host::JsonString;

namespace {

// Decodes the code point at text[*i] and moves *i past it; a broken sequence
// counts as one byte.
uint32_t NextCodePoint(const std::string& text, size_t* i) {
    const auto b = static_cast<unsigned char>(text[*i]);
    const size_t length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
    uint32_t c = length == 1 ? b : b & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
        if (*i + k >= text.size() || (static_cast<unsigned char>(text[*i + k]) & 0xC0) != 0x80) {
            ++*i;
            return 0xFFFD;
        }
        c = (c << 6) | (static_cast<unsigned char>(text[*i + k]) & 0x3Fu);
    }
    *i += length;
    return c;
}

size_t CodePointWidth(uint32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x20D0 && c <= 0x20FF) ||
        (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B)
        return 0;
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
                      (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                      (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

}  // namespace

size_t DisplayWidth(const std::string& text) {
    size_t width = 0;
    for (size_t i = 0; i < text.size();) width += CodePointWidth(NextCodePoint(text, &i));
    return width;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t at = i;
        const uint32_t c = NextCodePoint(text, &i);
        char buf[12];
        if (c == '\t' || c == '\n' || c == '\r' || c == '\\') {
            out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else if (c >= 0x80 && c <= 0x9F) {
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out.append(text, at, i - at);
        }
    }
    return out;
}

void PrintTable(const std::vector<std::vector<std::string>>& lines, FILE* out, std::vector<size_t>* kept) {
    std::vector<size_t> own;
    std::vector<size_t>& widths = kept != nullptr ? *kept : own;
    for (const auto& line : lines)
        for (size_t k = 0; k + 1 < line.size(); ++k) {
            if (widths.size() <= k) widths.resize(k + 1, 0);
            widths[k] = std::max(widths[k], DisplayWidth(line[k]));
        }
    for (const auto& line : lines) {
        std::string text;
        for (size_t k = 0; k < line.size(); ++k) {
            text += line[k];
            if (k + 1 < line.size()) text += std::string(widths[k] - DisplayWidth(line[k]) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        std::fprintf(out, "%s\n", text.c_str());
    }
}

std::string RowJson(const Row& row) {
    std::string s = "{\"item\":" + JsonString(row.item) +
                    (row.header.empty() ? "" : ",\"header\":" + JsonString(row.header)) +
                    ",\"value\":" + (row.jsonValue.empty() ? "null" : row.jsonValue) +
                    ",\"quality\":" + (row.quality >= 0 ? std::to_string(row.quality) : "null") +
                    ",\"time\":" + JsonString(row.time);
    if (!row.note.empty()) s += ",\"note\":" + JsonString(row.note);
    if (row.errorCode != 0)
        s += ",\"error\":{\"code\":" + std::to_string(row.errorCode) + ",\"message\":" + JsonString(row.errorMessage) +
             "}";
    return s + "}";
}

std::string ErrorJson(int32_t code, const std::string& message) {
    return "{\"error\":{\"code\":" + std::to_string(code) + ",\"message\":" + JsonString(message) + "}}";
}

void PrintRows(const std::vector<Row>& rows, bool json, FILE* out) { RowPrinter(json, out).Print(rows); }

void RowPrinter::Print(const std::vector<Row>& rows) {
    FILE* out = out_;
    if (json_) {
        for (const Row& row : rows) std::fprintf(out, "%s\n", RowJson(row).c_str());
        std::fflush(out);
        return;
    }
    std::vector<std::vector<std::string>> lines;
    if (!headed_) lines.push_back({"ITEM", "VALUE", "QUALITY", "TIME"});
    headed_ = true;
    for (const Row& row : rows) {
        const std::string quality = row.quality >= 0 ? std::to_string(row.quality) : "-";
        lines.push_back({Printable(row.item), row.errorCode != 0 ? "-" : Printable(row.value), quality, row.time});
        if (row.errorCode != 0)
            lines.back().push_back("error " + std::to_string(row.errorCode) + ": " + row.errorMessage);
    }
    PrintTable(lines, out, &widths_);
    std::fflush(out);
}

}  // namespace mira::cli
