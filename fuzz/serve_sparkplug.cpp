// A Sparkplug B command from the broker, any bytes: it decodes or is
// refused, never reads past its bytes, what decodes encodes again to bytes
// that decode alike, and every metric's value is taken or refused for every
// kind of tag.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "serve/mqtt/sparkplug.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace spb = mira::serve::mqtt::spb;
    using mira::serve::TagKind;
    spb::Payload payload;
    if (!spb::Decode(std::string_view(reinterpret_cast<const char*>(data), size), &payload, 64)) return 0;
    const std::string once = spb::Encode(payload);
    spb::Payload again;
    if (!spb::Decode(once, &again, 64) || spb::Encode(again) != once) std::abort();
    for (const spb::Metric& m : payload.metrics)
        for (TagKind kind : {TagKind::Word, TagKind::Bcd, TagKind::Bit, TagKind::Float, TagKind::String})
            if (const auto json = spb::WriteValue(kind, m); json && json->is_null()) std::abort();
    return 0;
}
