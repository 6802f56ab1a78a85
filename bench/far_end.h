// The controller's end of a pseudo-terminal, for the benches that run the
// real Portkit: a thread of its own hands the master's bytes to the simulator
// and writes back what the simulator sends. The slave device stays open
// between the driver's opens, so the pty stays up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sim/link.h"
#include "sim/simulator.h"

namespace mira::bench {

class FarEnd {
public:
    // With options.baud set, the master's bytes reach the simulator at the
    // line's speed (options.bitsPerByte bits each), so that both directions
    // take their wire time; without it they go on as they come. onThread runs
    // first on the far end's thread.
    explicit FarEnd(const sim::Options& options, std::function<void()> onThread = {});
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // The slave's path; empty when no pty could be had.
    const std::string& Device() const { return device_; }
    sim::Simulator& Sim() { return *simulator_; }
    // Bytes on the line each way since the last call.
    void TakeBytes(uint64_t* fromMaster, uint64_t* toMaster);

private:
    void Run();

    bool paced_;
    sim::LinePacer pacer_;  // the master's bytes on their way to the simulator
    std::unique_ptr<sim::Simulator> simulator_;
    int master_ = -1, keep_ = -1;
    std::string device_;
    std::function<void()> onThread_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> fromMaster_{0}, toMaster_{0};
};

}  // namespace mira::bench
