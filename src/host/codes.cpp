#include "host/codes.h"

#include <cstdio>
#include <iterator>

#include "mira/mira.h"
#include "mira/portkit_codes.h"
#include "portkit/portkit_host.h"

namespace mira::host {

std::string DescribeCode(int32_t code) {
    switch (code) {
        case MIRA_OK: return "no error";
        case kDriverRefused: return "the driver refused the request";
        case kLineAlreadyOpen: return "this process has a line open already: the driver holds one line per process";
        case kHostRefused: return "refused before anything was sent";
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
        return {text, Cause::Status};
    }
    // A good status on a reply shorter than the request asked for.
    if (code == MIRA_ERR_CONTROLLER_STATUS && seen.reply && seen.asked >= 0)
        return {"short reply: it carried " + std::to_string(seen.carried) + " of the " + std::to_string(seen.asked) +
                    " data bytes asked for, with " + StatusText("STS", seen.sts, seen.sts == 0 ? "success" : StsMeaning(seen.sts)),
                Cause::Line};
    if (code > 0 && code < 256) return {StatusText("EXT STS", static_cast<uint8_t>(code), ExtStsMeaning(static_cast<uint8_t>(code))), Cause::Status};
    // A time-out, or a string read that ended without a reply to decode.
    if (code == MIRA_PK_ERR_TIMEOUT || (code == MIRA_ERR_CONTROLLER_STATUS && !seen.reply)) {
        if (seen.naks > 0)
            return {"no reply: the controller refused " + std::to_string(seen.naks) +
                        " frame(s) with DLE NAK, likely a frame-check mismatch; is --crc or --bcc right?",
                    Cause::Line};
        if (code == MIRA_ERR_CONTROLLER_STATUS && seen.bytes > 511)
            return {"a received frame of more than 511 bytes", Cause::Line};
        // The link took the frame, the controller's program never answered:
        // on a line with one controller, most often a request to a station
        // that is not there.
        if (seen.acks > 0 && !seen.reply)
            return {DescribeCode(MIRA_PK_ERR_TIMEOUT) +
                        ": the controller acknowledged the frame (DLE ACK) but never answered; is --dst right?",
                    Cause::NoReply};
        return {DescribeCode(MIRA_PK_ERR_TIMEOUT), Cause::NoReply};
    }
    return {DescribeCode(code), CauseOf(code)};
}

Cause CauseOf(int32_t code) {
    if (code == 0) return Cause::None;
    if (code == MIRA_PK_ERR_TIMEOUT) return Cause::NoReply;
    if (code == MIRA_ERR_CONTROLLER_STATUS || (code > 0 && code < 256)) return Cause::Status;
    if (code >= MIRA_PK_ERR_TIMEOUT && code <= MIRA_PK_ERR_RESOURCES) return Cause::Line;
    return Cause::Refused;
}

Failure ExplainLast(int32_t code) { return Explain(code, Observed()); }

}  // namespace mira::host
