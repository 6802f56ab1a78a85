// The built-in simulator behind a byte pipe: what the master sends goes in,
// what the controller answers comes out, as if over a cable.
#include <unistd.h>

#include <new>

#include "mira/portkit_codes.h"
#include "portkit/line.h"
#if MIRA_HAVE_SIM
#include "sim/simulator.h"
#endif

namespace mira::portkit {
#if MIRA_HAVE_SIM
namespace {

// What the built-in controller holds when it starts, so that a first read
// shows values rather than a table of zeros. Each family seeds what it has.
constexpr const char* kSampleTables = R"(N7:0=100
N7:1=200
N7:2=-300
N7:3=4660
B3:0=5
F8:0=3.14159
T4:0.PRE=1000
T4:0.ACC=250
C5:0.PRE=10
C5:0.ACC=3
R6:0.LEN=8
ST9:0="MIRA"
)";
constexpr const char* kSamplePlc2 = R"(U:0=100
U:1=200
U:2=-300
U:3=4660
)";

class SimLine final : public Line {
public:
    explicit SimLine(const sim::Options& options) : sim_(options) {
        (void)sim_.Seed(options.family == sim::Family::Plc2 ? kSamplePlc2 : kSampleTables);
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
    if (s.family != SimFamily::Plc2) options.extraFiles.push_back({"ST", 9, 16});  // for the sample text
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
