// What Modbus requests are answered from: the register map of the tags as
// they stand and each mapped tag's registers as last scanned. The face keeps
// one, filled from the store's changes, so that a read copies registers and
// never waits on the store or the line; a write is checked against it whole
// before any of it goes to the line.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serve/modbus/modbus_map.h"
#include "serve/modbus/modbus_pdu.h"
#include "serve/store.h"

namespace mira::serve::modbus {

// One tag of a multi-tag write, in address order.
struct WriteStep {
    size_t tag = 0;
    std::string name;
    nlohmann::json value;  // as the store's Write takes it
};

class Image {
public:
    Image() = default;
    // The map of these tags, every one unread.
    Image(std::shared_ptr<const std::vector<TagInfo>> tags, FloatOrder order);

    // Takes a tag's state unless a later version was taken already (the
    // face's change thread and a write's read back may race).
    void Take(size_t tag, const TagValue& value);

    // The registers or bits a read asks for, or its exception: 0x02 for an
    // address without a tag, 0x0B for a tag whose quality is not 192. A read
    // may take part of a tag's registers.
    uint8_t Read(const Request& request, std::vector<uint16_t>* values) const;

    // The tags a write covers, in address order, with their values; or its
    // exception, before anything is written: 0x02 for an address without a
    // tag, a tag the range covers only in part (half a float, part of a
    // string) or a tag that is not writable; 0x03 for a value the tag
    // refuses.
    uint8_t PlanWrite(const Request& request, std::vector<WriteStep>* steps) const;

    const RegisterMap& map() const { return map_; }
    const std::vector<TagInfo>& tags() const { return *tags_; }

private:
    struct TagImage {
        bool good = false;
        uint64_t version = 0;
        std::vector<uint16_t> words;
    };
    std::shared_ptr<const std::vector<TagInfo>> tags_ = std::make_shared<const std::vector<TagInfo>>();
    FloatOrder order_ = FloatOrder::Abcd;
    RegisterMap map_;
    std::vector<TagImage> values_;  // by tag index
};

// The exception that answers a write that did not end Written.
uint8_t ExceptionOf(const WriteResult& result);

}  // namespace mira::serve::modbus
