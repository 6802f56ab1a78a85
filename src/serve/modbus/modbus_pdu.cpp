#include "serve/modbus/modbus_pdu.h"

namespace mira::serve::modbus {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void Put16(std::vector<uint8_t>* out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

// A reply's MBAP header for a PDU of pduBytes; the PDU follows.
std::vector<uint8_t> Opening(const Header& h, size_t pduBytes) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderBytes + pduBytes);
    Put16(&out, h.transaction);
    Put16(&out, 0);
    Put16(&out, static_cast<uint16_t>(pduBytes + 1));
    out.push_back(h.unit);
    return out;
}

struct FunctionShape {
    uint8_t code;
    Table table;
    bool write;
    bool multiple;  // 15 and 16: a quantity, a byte count and the values follow
    uint16_t most;  // the protocol's largest quantity
};

constexpr FunctionShape kFunctions[] = {
    {1, Table::Coils, false, false, 2000},
    {2, Table::DiscreteInputs, false, false, 2000},
    {3, Table::HoldingRegisters, false, false, 125},
    {4, Table::InputRegisters, false, false, 125},
    {5, Table::Coils, true, false, 1},
    {6, Table::HoldingRegisters, true, false, 1},
    {15, Table::Coils, true, true, 1968},
    {16, Table::HoldingRegisters, true, true, 123},
};

}  // namespace

const char* ResultName(uint8_t exception) {
    switch (exception) {
        case kOk: return "ok";
        case kIllegalFunction: return "illegal_function";
        case kIllegalAddress: return "illegal_address";
        case kIllegalValue: return "illegal_value";
        case kDeviceFailure: return "device_failure";
        case kBusy: return "busy";
        case kPathUnavailable: return "path_unavailable";
        case kTargetFailed: return "target_failed";
        default: return "dropped";
    }
}

Framing ReadHeader(const uint8_t* bytes, Header* out) {
    out->transaction = Be16(bytes);
    out->protocol = Be16(bytes + 2);
    out->length = Be16(bytes + 4);
    out->unit = bytes[6];
    if (out->protocol != 0) return Framing::NotModbus;
    if (out->length < 2) return Framing::Short;
    if (out->length > kMaxLength) return Framing::TooLong;
    return Framing::Good;
}

uint8_t DecodeRequest(const uint8_t* adu, size_t size, uint8_t unitId, Request* out) {
    *out = Request{};
    if (size < kHeaderBytes + 1) return kNoAnswer;
    const Framing framing = ReadHeader(adu, &out->header);
    out->function = adu[kHeaderBytes];
    if (framing == Framing::TooLong) return size == kHeaderBytes + 1 ? kIllegalValue : kNoAnswer;
    if (framing != Framing::Good || size != 6u + out->header.length) return kNoAnswer;
    if (unitId != 255 && out->header.unit != unitId) return kPathUnavailable;

    const FunctionShape* shape = nullptr;
    for (const FunctionShape& f : kFunctions)
        if (f.code == out->function) shape = &f;
    if (shape == nullptr) return kIllegalFunction;
    out->table = shape->table;
    out->write = shape->write;

    // The PDU after its function code.
    const uint8_t* data = adu + kHeaderBytes + 1;
    const size_t n = size - kHeaderBytes - 1;
    if (n < 4) return kIllegalValue;
    out->address = Be16(data);
    const uint16_t second = Be16(data + 2);  // a quantity, or the one value of 5 and 6

    if (!shape->write || shape->multiple) {
        out->quantity = second;
        if (out->quantity == 0 || out->quantity > shape->most) return kIllegalValue;
    } else {
        out->quantity = 1;
    }
    if (!shape->multiple && n != 4) return kIllegalValue;
    if (shape->multiple) {
        const size_t bytes = shape->table == Table::Coils ? (out->quantity + 7u) / 8u : 2u * out->quantity;
        if (n < 5 || data[4] != bytes || n != 5 + bytes) return kIllegalValue;
        const uint8_t* v = data + 5;
        for (uint16_t i = 0; i < out->quantity; ++i)
            out->values.push_back(shape->table == Table::Coils ? (v[i / 8] >> (i % 8)) & 1 : Be16(v + 2 * i));
    } else if (shape->write) {
        // A single coil is ON as FF 00 and OFF as 00 00, nothing else.
        if (shape->table == Table::Coils && second != 0xFF00 && second != 0x0000) return kIllegalValue;
        out->values.push_back(shape->table == Table::Coils ? (second != 0 ? 1 : 0) : second);
    }
    if (uint32_t{out->address} + out->quantity > 65536) return kIllegalAddress;
    return kOk;
}

std::vector<uint8_t> ExceptionReply(const Header& header, uint8_t function, uint8_t exception) {
    std::vector<uint8_t> out = Opening(header, 2);
    out.push_back(static_cast<uint8_t>(function | 0x80));
    out.push_back(exception);
    return out;
}

std::vector<uint8_t> ReadReply(const Request& request, const std::vector<uint16_t>& values) {
    const bool bits = IsBitTable(request.table);
    const size_t bytes = bits ? (values.size() + 7) / 8 : 2 * values.size();
    std::vector<uint8_t> out = Opening(request.header, 2 + bytes);
    out.push_back(request.function);
    out.push_back(static_cast<uint8_t>(bytes));
    if (bits) {
        out.resize(out.size() + bytes, 0);
        uint8_t* packed = out.data() + out.size() - bytes;
        for (size_t i = 0; i < values.size(); ++i)
            if (values[i] != 0) packed[i / 8] = static_cast<uint8_t>(packed[i / 8] | (1u << (i % 8)));
    } else {
        for (uint16_t v : values) Put16(&out, v);
    }
    return out;
}

std::vector<uint8_t> WriteReply(const Request& request) {
    std::vector<uint8_t> out = Opening(request.header, 5);
    out.push_back(request.function);
    Put16(&out, request.address);
    if (request.function == 5)
        Put16(&out, request.values[0] != 0 ? 0xFF00 : 0x0000);
    else if (request.function == 6)
        Put16(&out, request.values[0]);
    else
        Put16(&out, request.quantity);
    return out;
}

}  // namespace mira::serve::modbus
