// The Modbus face's request decoding with any bytes as one framed ADU, then
// the read or the write planned against a map of every kind of tag: what it
// takes stays within the protocol's limits, every reply fits one ADU and a
// write covers whole tags in address order.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "serve/modbus/modbus_image.h"

namespace {

using namespace mira::serve;
using namespace mira::serve::modbus;

TagInfo Tag(const char* name, TagKind kind, const char* place, bool writable, int32_t chars = 0) {
    TagInfo t;
    t.name = name;
    t.header = "N7:0";
    t.kind = kind;
    t.chars = chars;
    t.writable = writable;
    t.faces["modbus"]["modbus"] = place;
    return t;
}

const Image& TheImage() {
    static const Image image = [] {
        auto tags = std::make_shared<const std::vector<TagInfo>>(std::vector<TagInfo>{
            Tag("w", TagKind::Word, "hr:0", true), Tag("f", TagKind::Float, "hr:1", true),
            Tag("s", TagKind::String, "hr:3", true, 5), Tag("b", TagKind::Bcd, "hr:7", false),
            Tag("r", TagKind::Word, "ir:0", false), Tag("c", TagKind::Bit, "co:0", true),
            Tag("d", TagKind::Bit, "di:65535", false), Tag("bad", TagKind::Word, "hr:8", true)});
        Image im(tags, FloatOrder::Cdab);
        const Value values[] = {int32_t{-5}, 2.5, std::string("abc"), int32_t{1234}, int32_t{7}, int32_t{1}, int32_t{0}};
        for (size_t i = 0; i < 7; ++i) im.Take(i, TagValue{values[i], 1, kQualityGood, 0, "", 1});
        return im;
    }();
    return image;
}

bool FitsAdu(const std::vector<uint8_t>& reply) {
    return reply.size() >= 9 && reply.size() <= kMaxAdu && size_t((reply[4] << 8) | reply[5]) == reply.size() - 6;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (uint8_t unit : {uint8_t{255}, uint8_t{1}}) {
        Request r;
        const uint8_t code = DecodeRequest(data, size, unit, &r);
        if (code != kOk) {
            if (code != kNoAnswer && !FitsAdu(ExceptionReply(r.header, r.function, code))) std::abort();
            continue;
        }
        if (r.quantity == 0 || r.quantity > 2000 || uint32_t{r.address} + r.quantity > 65536) std::abort();
        if (r.values.size() != (r.write ? r.quantity : 0u)) std::abort();
        if (!r.write) {
            std::vector<uint16_t> values;
            if (TheImage().Read(r, &values) == kOk &&
                (values.size() != r.quantity || !FitsAdu(ReadReply(r, values))))
                std::abort();
            continue;
        }
        if (!FitsAdu(WriteReply(r))) std::abort();
        std::vector<WriteStep> steps;
        if (TheImage().PlanWrite(r, &steps) != kOk) continue;
        uint32_t covered = 0;
        for (size_t i = 0; i < steps.size(); ++i) {
            const TagInfo& tag = TheImage().tags()[steps[i].tag];
            if (!tag.writable || (i > 0 && steps[i].tag <= steps[i - 1].tag)) std::abort();
            covered += WidthOf(tag);
        }
        if (covered != r.quantity) std::abort();
    }
    return 0;
}
