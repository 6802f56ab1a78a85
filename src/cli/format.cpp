#include "cli/format.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "cli/args.h"
#include "mira/portkit_codes.h"
#include "portkit/portkit_host.h"

namespace mira::cli {

std::u16string ToWide(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        uint32_t c = 0xFFFD;
        size_t used = 1;
        auto cont = [&](size_t k) {
            return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        };
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0 && cont(1)) {
            c = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            used = 2;
        } else if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
            c = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            used = 3;
        } else if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
            used = 4;  // outside the 16-bit range the driver's texts use
        }
        out.push_back(static_cast<char16_t>(c));
        i += used;
    }
    return out;
}

std::string ToUtf8(const char16_t* text, size_t limit) {
    std::string out;
    for (size_t i = 0; i < limit && text[i] != 0; ++i) {
        const uint32_t c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    return out + "\"";
}

std::string FormatFileTime(MiraFileTime time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.highDateTime) << 32) | time.lowDateTime;
    constexpr uint64_t kEpochDelta = 11644473600ull;  // seconds 1601 .. 1970
    const uint64_t seconds = ticks / 10000000u;
    const auto ms = static_cast<unsigned>((ticks / 10000u) % 1000u);
    if (seconds < kEpochDelta) return "1970-01-01T00:00:00.000";
    const auto unixSeconds = static_cast<time_t>(seconds - kEpochDelta);
    tm parts{};
    gmtime_r(&unixSeconds, &parts);  // the FILETIME holds local time already
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03u", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, ms);
    return buf;
}

std::string FormatValue(uint32_t valueType, const MiraValue& value, bool json) {
    char buf[64];
    switch (valueType) {
        case MIRA_VALUE_INTEGER:
            return std::to_string(value.integer);
        case MIRA_VALUE_DOUBLE:
            if (!std::isfinite(value.real)) return json ? "null" : std::to_string(value.real);
            std::snprintf(buf, sizeof buf, "%.9g", value.real);
            return buf;
        case MIRA_VALUE_STRING: {
            const std::string text = ToUtf8(value.text, sizeof value.text / sizeof value.text[0]);
            return json ? JsonString(text) : text;
        }
        default:
            return json ? "null" : "?";
    }
}

std::string DescribeCode(int32_t code) {
    switch (code) {
        case MIRA_OK: return "no error";
        case kDriverRefused: return "the driver refused the request";
        case MIRA_ERR_BAD_MNEMONIC: return "bad or missing mnemonic or separator";
        case MIRA_ERR_BAD_HEADER: return "the header names no valid file";
        case MIRA_ERR_RANGE: return "range too large";
        case MIRA_ERR_GROUP_WRITE_TCC: return "group write to a timer, counter or control file";
        case MIRA_ERR_NOTHING_OUTSTANDING: return "a finish with no request of its own outstanding";
        // 256 is also Portkit's overflow code (0x100): one code, both meanings.
        case MIRA_ERR_CONTROLLER_STATUS: return "controller status error, or a received frame of more than 511 bytes";
        case MIRA_ERR_ODD_ASCII_START: return "PLC-5 ASCII group write at an odd byte";
        case MIRA_ERR_NO_UNSOLICITED: return "no stored unsolicited message";
        case MIRA_ERR_GROUP_WRITE_BIT: return "group write of a bit item or a string file";
        default: break;
    }
    if (code > 0) {
        if (const char* text = PkCodeText(static_cast<uint32_t>(code))) return text;
        if (code < 256) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "controller extended status 0x%02X", static_cast<unsigned>(code));
            return buf;
        }
    }
    return "error " + std::to_string(code);
}

const char* StsMeaning(uint8_t sts) {
    // The low nibble holds local errors, the high nibble remote ones.
    static const char* const kLocal[16] = {
        nullptr, "destination node is out of buffer space", "cannot guarantee delivery: the link layer timed out or got a NAK",
        "duplicate token holder detected", "local port is disconnected", "application layer timed out waiting for a response",
        "duplicate node detected", "station is off-line", "hardware fault"};
    static const char* const kRemote[16] = {
        nullptr, "illegal command or format", "host has a problem and will not communicate",
        "remote node host is missing, disconnected or shut down", "host could not complete the function: hardware fault",
        "addressing problem or memory protect rungs", "function not allowed: command protection selection",
        "processor is in program mode", "compatibility mode file missing or communication zone problem",
        "remote node cannot buffer the command", "wait ACK (buffer full)", "remote node problem due to download",
        "wait ACK (buffer full)", nullptr, nullptr, "error code in the EXT STS byte"};
    return (sts & 0x0F) != 0 ? kLocal[sts & 0x0F] : kRemote[sts >> 4];
}

const char* ExtStsMeaning(uint8_t extSts) {
    static const char* const kExt[] = {
        nullptr, "a field has an illegal value", "fewer levels in the address than the minimum",
        "more levels in the address than the system supports", "symbol not found", "symbol of improper format",
        "address does not point to something usable", "file is the wrong size",
        "cannot complete the request: the situation changed since the command started", "data or file is too large",
        "transaction size plus word address is too large", "access denied: improper privilege",
        "condition cannot be generated: resource not available", "condition already exists: resource already available",
        "command cannot be executed", "histogram overflow", "no access", "illegal data type",
        "invalid parameter or invalid data", "address reference exists to a deleted area",
        "command execution failure for an unknown reason", "data conversion error",
        "scanner cannot communicate with the rack adapter", "adapter cannot communicate with the module",
        "module response was not valid", "duplicated label", "file is open: another node owns it",
        "another node is the program owner"};
    return extSts < std::size(kExt) ? kExt[extSts] : nullptr;
}

namespace {

std::string StatusText(const char* name, uint8_t value, const char* meaning) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s 0x%02X: %s", name, static_cast<unsigned>(value),
                  meaning != nullptr ? meaning : "no meaning in the PCCC status tables");
    return buf;
}

}  // namespace

Failure Explain(int32_t code, const LineObservation& seen) {
    const bool statusCode = code == MIRA_ERR_CONTROLLER_STATUS || (code > 0 && code < 256);
    if (statusCode && seen.reply && seen.sts != 0) {
        std::string text = seen.sts == 0xF0 ? StatusText("EXT STS", seen.extSts, ExtStsMeaning(seen.extSts))
                                            : StatusText("STS", seen.sts, StsMeaning(seen.sts));
        // The usual answer of a controller to a request of another family.
        if (seen.sts == 0x10) text += "; is --model right?";
        return {text, kExitStatus};
    }
    // A good status on a reply shorter than the request asked for.
    if (code == MIRA_ERR_CONTROLLER_STATUS && seen.reply && seen.asked >= 0)
        return {"short reply: it carried " + std::to_string(seen.carried) + " of the " + std::to_string(seen.asked) +
                    " data bytes asked for, with " + StatusText("STS", seen.sts, seen.sts == 0 ? "success" : StsMeaning(seen.sts)),
                kExitComm};
    if (code > 0 && code < 256) return {StatusText("EXT STS", static_cast<uint8_t>(code), ExtStsMeaning(static_cast<uint8_t>(code))), kExitStatus};
    // A time-out, or a string read that ended without a reply to decode.
    if (code == MIRA_PK_ERR_TIMEOUT || (code == MIRA_ERR_CONTROLLER_STATUS && !seen.reply)) {
        if (seen.naks > 0)
            return {"no reply: the controller refused " + std::to_string(seen.naks) +
                        " frame(s) with DLE NAK, likely a frame-check mismatch; is --crc or --bcc right?",
                    kExitComm};
        if (code == MIRA_ERR_CONTROLLER_STATUS && seen.bytes > 511)
            return {"a received frame of more than 511 bytes", kExitComm};
        return {DescribeCode(MIRA_PK_ERR_TIMEOUT), kExitNoResponse};
    }
    return {DescribeCode(code), ExitCodeFor(code)};
}

int ExitCodeFor(int32_t code) {
    if (code == 0) return kExitOk;
    if (code == MIRA_PK_ERR_TIMEOUT) return kExitNoResponse;
    if (code == MIRA_ERR_CONTROLLER_STATUS || (code > 0 && code < 256)) return kExitStatus;
    if (code >= MIRA_PK_ERR_TIMEOUT && code <= MIRA_PK_ERR_RESOURCES) return kExitComm;
    return kExitUsage;  // the driver refused the request as typed
}

}  // namespace mira::cli
