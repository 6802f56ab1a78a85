// Driving the simulator as a master would: hand-built frames, a stepped clock, the bytes back.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

#include "sim/simulator.h"

namespace mira::sim::test {

using Bytes = std::vector<uint8_t>;

// A clock the test steps by hand.
struct StepClock {
    std::shared_ptr<uint64_t> us = std::make_shared<uint64_t>(1000000);
    std::function<uint64_t()> Fn() const { return [p = us] { return *p; }; }
    void AdvanceMs(uint64_t ms) const { *us += ms * 1000; }
};

// Options with the test's clock and a 100 ms ACK time-out.
inline Options Opts(const StepClock& clock, bool crc = false) {
    Options o;
    o.crc = crc;
    o.clockUs = clock.Fn();
    o.ackTimeoutMs = 100;
    return o;
}

inline Bytes Drain(Simulator& sim) {
    Bytes out;
    uint8_t buf[64];
    for (int i = 0; i < 10000; ++i) {
        const size_t n = sim.ToMaster(buf, sizeof buf);
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

inline Bytes Send(Simulator& sim, const Bytes& bytes) {
    sim.FromMaster(bytes.data(), bytes.size());
    return Drain(sim);
}

inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Frames a message with BCC or CRC, independently of the simulator's encoder.
inline Bytes Frame(const Bytes& msg, bool crc = false) {
    Bytes f = {0x10, 0x02};
    uint8_t sum = 0;
    for (uint8_t b : msg) {
        f.push_back(b);
        if (b == 0x10) f.push_back(0x10);
        sum = uint8_t(sum + b);
    }
    uint16_t c = 0;
    for (uint8_t b : Cat(msg, {0x03})) {  // the CRC covers ETX too
        c ^= b;
        for (int i = 0; i < 8; ++i) c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
    }
    f.insert(f.end(), {0x10, 0x03});
    return crc ? Cat(f, {uint8_t(c), uint8_t(c >> 8)}) : Cat(f, {uint8_t(-sum)});
}

// Each address reads back as the text beside it.
template <class Tables>
void ExpectPeeks(Tables& tables, std::initializer_list<std::pair<const char*, const char*>> rows) {
    for (const auto& [address, value] : rows) {
        std::string v;
        EXPECT_TRUE(tables.Peek(address, &v)) << address;
        EXPECT_EQ(v, value) << address;
    }
}

const Bytes kAckSeq = {0x10, 0x06};
const Bytes kNakSeq = {0x10, 0x15};
const Bytes kEnqSeq = {0x10, 0x05};

}  // namespace mira::sim::test
