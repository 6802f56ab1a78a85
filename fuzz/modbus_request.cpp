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

const Image& TheImage() {
    static const Image image = [] {
        const struct {
            const char* name;
            TagKind kind;
            int32_t chars;
            bool writable;
            const char* place;
            Value value;  // nothing: never read
        } kTags[] = {{"w", TagKind::Word, 0, true, "hr:0", int32_t{-5}},    {"f", TagKind::Float, 0, true, "hr:1", 2.5},
                     {"s", TagKind::String, 5, true, "hr:3", "abc"},          {"b", TagKind::Bcd, 0, false, "hr:7", 1234},
                     {"r", TagKind::Word, 0, false, "ir:0", 7},               {"c", TagKind::Bit, 0, true, "co:0", 1},
                     {"d", TagKind::Bit, 0, false, "di:65535", 0},            {"bad", TagKind::Word, 0, true, "hr:8", {}}};
        std::vector<TagInfo> tags(std::size(kTags));
        for (size_t i = 0; i < tags.size(); ++i) {
            tags[i].name = kTags[i].name, tags[i].kind = kTags[i].kind, tags[i].chars = kTags[i].chars;
            tags[i].writable = kTags[i].writable, tags[i].faces["modbus"]["modbus"] = kTags[i].place;
        }
        Image im(std::make_shared<const std::vector<TagInfo>>(tags), FloatOrder::Cdab);
        for (size_t i = 0; i < tags.size(); ++i)
            if (kTags[i].value.index() != 0) im.Take(i, TagValue{kTags[i].value, 1, kQualityGood, 0, "", 1});
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
