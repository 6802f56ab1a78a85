// The Modbus TCP face of `mira serve`: the tags that name a register or a bit
// (`modbus = "hr:100"`) served to any Modbus TCP client.
//
// [modbus]: `listen` (HOST:PORT, by default 127.0.0.1:1502), `unit_id` (255,
// the default, answers any unit id; another answers that one alone and the
// rest with 0x0A), `float_order` (ABCD, CDAB, BADC, DCBA) and `max_clients`
// (8). The face listens when at least one tag names a place.
//
// Reads are answered from the face's image of the scanned values, never by
// waiting on the line. Writes (functions 5, 6, 15, 16) go through the store
// to the controller, tag by tag in address order, and the answer waits for
// each to be read back; the first failure ends the write and is answered.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serve/face.h"
#include "serve/modbus/modbus_image.h"
#include "serve/modbus/modbus_server.h"

namespace mira::serve::modbus {

FaceKind ModbusFaceKind();

struct FaceOptions {
    ServerOptions server;
    uint8_t unitId = 255;
    FloatOrder order = FloatOrder::Abcd;
    // How long a write waits for each tag's confirmation: the transaction in
    // progress, the write and the read back, each within the line's time-out.
    std::chrono::milliseconds writeWait{4000};
};

// The options of a face from its [modbus] settings and the line's time-out.
FaceOptions OptionsOf(const nlohmann::json& settings, uint32_t lineTimeoutMs);

class ModbusFace : public Face {
public:
    ModbusFace(TagStore& store, FaceOptions options);
    ~ModbusFace() override;
    bool Start(std::string* why) override;
    void Stop() override;
    void Changed(const Changes& changes) override;
    uint16_t Port() const { return server_.Port(); }

    // Answers one ADU as the server framed it; an empty reply answers nothing.
    std::vector<uint8_t> Answer(const uint8_t* adu, size_t size, const std::atomic<bool>& stopping);

private:
    void Rebuild();
    uint8_t Write(const Request& request, const std::atomic<bool>& stopping);
    WriteResult WriteOne(const WriteStep& step, const std::atomic<bool>& stopping);

    TagStore& store_;
    FaceOptions options_;
    std::mutex mutex_;  // guards image_ and generation_
    Image image_;
    uint64_t generation_ = 0;  // counts the images built: a write's read back goes only to its own
    Server server_;
};

}  // namespace mira::serve::modbus
