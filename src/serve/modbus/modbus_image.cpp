#include "serve/modbus/modbus_image.h"

#include <algorithm>

namespace mira::serve::modbus {

Image::Image(std::shared_ptr<const std::vector<TagInfo>> tags, FloatOrder order)
    : tags_(std::move(tags)), order_(order), map_(RegisterMap::Build(*tags_)), values_(tags_->size()) {
    for (size_t i = 0; i < tags_->size(); ++i) values_[i].words.assign(WidthOf((*tags_)[i]), 0);
}

void Image::Take(size_t tag, const TagValue& value) {
    if (tag >= values_.size()) return;
    TagImage& image = values_[tag];
    // Version 0 is a tag never read; a later state never comes with it.
    if (value.version < image.version || (value.version == image.version && value.version != 0)) return;
    image.version = value.version;
    image.good = value.quality == kQualityGood && Encode((*tags_)[tag], value.value, order_, image.words.data());
}

uint8_t Image::Read(const Request& request, std::vector<uint16_t>* values) const {
    std::vector<const Entry*> entries;
    if (!map_.Cover(request.table, request.address, request.quantity, &entries)) return kIllegalAddress;
    values->clear();
    values->reserve(request.quantity);
    const uint32_t end = uint32_t{request.address} + request.quantity;
    for (const Entry* e : entries) {
        const TagImage& image = values_[e->tag];
        if (!image.good) return kTargetFailed;
        const uint32_t from = std::max<uint32_t>(request.address, e->place.start);
        const uint32_t to = std::min<uint32_t>(end, e->place.end());
        for (uint32_t a = from; a < to; ++a) values->push_back(image.words[a - e->place.start]);
    }
    return kOk;
}

uint8_t Image::PlanWrite(const Request& request, std::vector<WriteStep>* steps) const {
    std::vector<const Entry*> entries;
    if (!map_.Cover(request.table, request.address, request.quantity, &entries)) return kIllegalAddress;
    const uint32_t end = uint32_t{request.address} + request.quantity;
    for (const Entry* e : entries)
        if (e->place.start < request.address || e->place.end() > end) return kIllegalAddress;
    steps->clear();
    for (const Entry* e : entries) {
        const TagInfo& tag = (*tags_)[e->tag];
        if (!tag.writable) return kIllegalAddress;
        WriteStep step{e->tag, tag.name, DecodeWrite(tag, &request.values[e->place.start - request.address], order_)};
        HostValueCore typed{};
        std::string why;
        if (!MakeWriteValue(tag, step.value, &typed, &why)) return kIllegalValue;
        steps->push_back(std::move(step));
    }
    return kOk;
}

uint8_t ExceptionOf(const WriteResult& result) {
    switch (result.outcome) {
        case WriteOutcome::Written: return kOk;
        case WriteOutcome::UnknownTag:
        case WriteOutcome::NotWritable: return kIllegalAddress;
        case WriteOutcome::BadValue: return kIllegalValue;
        case WriteOutcome::Busy: return kBusy;
        case WriteOutcome::LineLost:
        case WriteOutcome::NoReply:
        case WriteOutcome::Stopped: return kTargetFailed;
        case WriteOutcome::Failed:
            // The store's own bound on the wait ends Failed with the reply
            // time-out's code: the controller's answer never came.
            return result.code == MIRA_PK_ERR_TIMEOUT ? kTargetFailed : kDeviceFailure;
    }
    return kDeviceFailure;
}

}  // namespace mira::serve::modbus
