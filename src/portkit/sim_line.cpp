// The built-in simulator behind a byte pipe: what the master sends goes in,
// what the controller answers comes out, as if over a cable.
#include <unistd.h>

#include <new>

#include "mira/portkit_codes.h"
#include "portkit/line.h"
#if MIRA_HAVE_SIM
#include "sim/samples.h"
#include "sim/simulator.h"
#endif

namespace mira::portkit {
#if MIRA_HAVE_SIM
namespace {

class SimLine final : public Line {
public:
    explicit SimLine(const sim::Options& options) : sim_(options) {
        (void)sim_.Seed(sim::SampleTables(options.family));
    }

    ReadResult Read(uint8_t* out, size_t capacity, size_t* count, uint32_t waitMs) override {
        *count = sim_.ToMaster(out, capacity);
        if (*count > 0) return ReadResult::Bytes;
        // Nothing due: look again shortly, as a UART's FIFO would fill.
        ::usleep((waitMs < 1 ? waitMs : 1) * 1000u);
        return ReadResult::Nothing;
    }

    int32_t Write(const uint8_t* bytes, size_t count) override {
        sim_.FromMaster(bytes, count);
        return 0;
    }

    bool OutputDrained() override { return true; }
    void DiscardInput() override {}

private:
    sim::Simulator sim_;
};

}  // namespace

std::unique_ptr<Line> OpenSimulator(const LineSettings& s, int32_t* code, std::string* why) {
    sim::Options options;
    options.family = s.family == SimFamily::Plc5   ? sim::Family::Plc5
                     : s.family == SimFamily::Plc2 ? sim::Family::Plc2
                                                   : sim::Family::Slc500;
    options.station = s.simStation;
    options.crc = s.crc;
    sim::AddSampleFiles(&options);
    std::unique_ptr<Line> line(new (std::nothrow) SimLine(options));
    if (!line) {
        *code = MIRA_PK_ERR_RESOURCES;
        *why = "no memory for the simulator";
        return nullptr;
    }
    *code = 0;
    why->clear();
    return line;
}
#else
std::unique_ptr<Line> OpenSimulator(const LineSettings&, int32_t* code, std::string* why) {
    *code = MIRA_PK_ERR_NO_DEVICE;
    *why = "the simulator is not built into this Portkit";
    return nullptr;
}
#endif

}  // namespace mira::portkit
