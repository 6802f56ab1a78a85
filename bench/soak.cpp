// mira_soak: a fault soak. N transactions, reads and writes of known patterns,
// through the driver and the real Portkit on a pseudo-terminal, against the
// simulator on the far end with its fault injection at a given rate. Every
// value read at quality 192 is compared with what the simulator holds.
//
//   mira_soak [--count N] [--rate R] [--bcc] [--seed S] [--timeout MS]
//
// Prints the transactions, the faults injected by kind, the failures by
// code, the wrong values at quality 192 (must be 0), the values of reads that
// reported success at another quality (must be 0: a good N7 word is never
// anything but 192), the transactions that outlived their bound (must be 0),
// the longest recovery after a fault (from the start of the faulted
// transaction to the end of the next good one) and the link counters. Exit
// status 1 when a wrong value, a bad quality or an overrun was seen.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "far_end.h"
#include "mira/mira.h"
#include "mira/portkit_codes.h"
#include "portkit/portkit_host.h"
#include "sim/simulator.h"

extern "C" void PkYield();

namespace {

namespace sim = mira::sim;
using Clock = std::chrono::steady_clock;

template <size_t N>
void Copy(char16_t (&field)[N], const std::string& text) {
    size_t i = 0;
    for (; i < text.size() && i + 1 < N; ++i) field[i] = static_cast<char16_t>(text[i]);
    field[i] = 0;
}

constexpr const char* kKindNames[] = {"corrupt check", "dropped byte", "noise", "delay", "no reply",
                                      "NAK", "no ACK", "duplicate reply", "own command after"};
constexpr sim::FaultKind kKinds[] = {sim::FaultKind::CorruptCheck, sim::FaultKind::DropByte,
                                     sim::FaultKind::Noise,        sim::FaultKind::Delay,
                                     sim::FaultKind::NoReply,      sim::FaultKind::Nak,
                                     sim::FaultKind::NoAck,        sim::FaultKind::RepeatReply,
                                     sim::FaultKind::OwnCommandAfter};
constexpr int kWords = 4;    // per transaction
constexpr int kBlocks = 64;  // N7:0 .. N7:255

long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    long count = 100000;
    double rate = 0.01;
    bool crc = true;
    uint32_t seed = 1, timeoutMs = 200;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--count" && i + 1 < argc) {
            count = std::atol(argv[++i]);
        } else if (a == "--rate" && i + 1 < argc) {
            rate = std::atof(argv[++i]);
        } else if (a == "--seed" && i + 1 < argc) {
            seed = static_cast<uint32_t>(std::atol(argv[++i]));
        } else if (a == "--timeout" && i + 1 < argc) {
            timeoutMs = static_cast<uint32_t>(std::atol(argv[++i]));
        } else if (a == "--bcc") {
            crc = false;
        } else {
            std::fprintf(stderr, "usage: mira_soak [--count N] [--rate R] [--bcc] [--seed S] [--timeout MS]\n");
            return 2;
        }
    }
    sim::Options options;
    options.crc = crc;
    // Unpaced: the soak is about faults, not speed.
    mira::bench::FarEnd far(options);
    DriverSettings s{};
    s.baud = 115200;
    s.replyTimeoutMs = timeoutMs;
    Copy(s.StationText, "0");
    Copy(s.ModelText, "SLC500");
    Copy(s.ModeText, "Standard");
    s.ErrorCheckOption = crc ? 1 : 0;
    Copy(s.portName, far.Device());
    char16_t version[8] = {};
    int32_t error = 0;
    if (far.Device().empty() || UDrvOpen(0, &s, version, &error) != 1 || error != 0) {
        std::fprintf(stderr, "mira_soak: the driver did not open the pty (%d)\n", error);
        return 1;
    }
    // A failed exchange may take its reply time-out, the channel bound (one
    // longest frame at 115200 and 100 ms), and a group read's four line
    // resets of 300 ms each; twice that on a loaded machine.
    const long long boundMs = 2 * (timeoutMs + 90 + 100 + 4 * 300);

    std::mt19937 random(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<std::u16string> texts;
    for (int i = 0; i < kWords; ++i) texts.push_back(u"W" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
    std::vector<const char16_t*> items;
    for (const auto& t : texts) items.push_back(t.c_str());
    HostValue values[kWords];
    HostValueCore writes[kWords];

    PkLinkCounters before{};
    PkGetLinkCountersEx(&before, sizeof before);
    long faults[std::size(kKinds)] = {}, wrong = 0, badQuality = 0, overran = 0, good = 0;
    std::map<int32_t, long> failures;
    long long longestRecoveryMs = 0, longestMs = 0;
    bool recovering = false;
    Clock::time_point faultedAt{};
    const auto began = Clock::now();
    for (long n = 0; n < count; ++n) {
        const int block = static_cast<int>(n / 2 % kBlocks);
        const std::string headerText = "N7:" + std::to_string(block * kWords);
        const std::u16string header(headerText.begin(), headerText.end());
        const bool write = n % 2 == 0;
        if (chance(random) < rate) {
            const size_t k = random() % std::size(kKinds);
            sim::Fault fault;
            fault.kind = kKinds[k];
            fault.delayMs = static_cast<uint32_t>(random() % (2 * timeoutMs));  // half of them too late
            far.Sim().InjectFault(fault);
            ++faults[k];
            if (!recovering) faultedAt = Clock::now();
            recovering = true;
        }
        const auto start = Clock::now();
        error = 0;
        if (write) {
            for (int i = 0; i < kWords; ++i) {
                writes[i] = HostValueCore{};
                writes[i].valueType = MIRA_VALUE_INTEGER;
                writes[i].value.integer = static_cast<int16_t>((n * 7919 + i * 104729) & 0xFFFF);
            }
            if (UDrvWriteGroupStart(u"1", header.c_str(), items.data(), writes, kWords, &error) == 1)
                while (UDrvWriteGroupFinish(&error) == 0) PkYield();
        } else {
            if (UDrvReadGroupStart(u"1", header.c_str(), items.data(), kWords, &error) == 1)
                while (UDrvReadGroupFinishExt(values, 0, kWords, &error) == 0) PkYield();
        }
        const auto end = Clock::now();
        longestMs = std::max<long long>(longestMs, Ms(end - start));
        if (Ms(end - start) > boundMs) ++overran;
        far.Sim().ClearFaults();
        if (error != 0) {
            ++failures[error];
            continue;
        }
        ++good;
        if (recovering) {
            longestRecoveryMs = std::max<long long>(longestRecoveryMs, Ms(end - faultedAt));
            recovering = false;
        }
        if (write) continue;
        for (int i = 0; i < kWords; ++i) {
            const std::string address = "N7:" + std::to_string(block * kWords + i);
            if (values[i].quality != MIRA_QUALITY_GOOD) {
                ++badQuality;
                std::fprintf(stderr, "quality %u: %s, in a read that reported success\n", values[i].quality,
                             address.c_str());
                continue;
            }
            std::string held;
            if (!far.Sim().Peek(address, &held) || std::atol(held.c_str()) != values[i].value.integer) {
                ++wrong;
                std::fprintf(stderr, "wrong value: %s read %d, the controller holds %s\n", address.c_str(),
                             values[i].value.integer, held.c_str());
            }
        }
    }
    const double seconds = static_cast<double>(Ms(Clock::now() - began)) / 1000.0;
    PkLinkCounters after{};
    PkGetLinkCountersEx(&after, sizeof after);
    UDrvClose();

    long injected = 0;
    for (long f : faults) injected += f;
    std::printf("mira_soak: %s, %ld transactions (half reads, half writes of %d words), fault rate %.3f, seed %u, "
                "reply time-out %u ms, %.0f s\n",
                crc ? "CRC" : "BCC", count, kWords, rate, seed, timeoutMs, seconds);
    std::printf("faults injected: %ld (", injected);
    for (size_t k = 0; k < std::size(kKinds); ++k) std::printf("%s%s %ld", k ? ", " : "", kKindNames[k], faults[k]);
    std::printf(")\ngood: %ld; failed: %ld", good, count - good);
    for (const auto& [code, n] : failures) {
        // 256 is both the controller-status code and the receive overflow;
        // the overflow counter below tells them apart.
        const char* text = code == MIRA_ERR_CONTROLLER_STATUS ? "controller status, or a frame over 511 bytes"
                                                              : PkCodeText(static_cast<uint32_t>(code));
        std::printf(", %ld x %d (%s)", n, code, text != nullptr ? text : "a driver code");
    }
    std::printf("\nwrong values at quality 192: %ld\nvalues of good reads at another quality: %ld\n"
                "transactions past their bound of %lld ms: %ld (longest %lld ms)\n"
                "longest recovery after a fault: %lld ms\n",
                wrong, badQuality, boundMs, overran, longestMs, longestRecoveryMs);
#define MIRA_SOAK_COUNTER(field) static_cast<unsigned long long>(after.field - before.field)
    std::printf("link: frames %llu sent / %llu received, ACK %llu / %llu, NAK %llu / %llu, ENQ %llu / %llu, "
                "retransmissions %llu, frames refused %llu, bad checks %llu, reply time-outs %llu, overflows %llu; "
                "of those, line resets %llu answered by ACK %llu / NAK %llu\n",
                MIRA_SOAK_COUNTER(framesSent), MIRA_SOAK_COUNTER(framesReceived), MIRA_SOAK_COUNTER(acksSent),
                MIRA_SOAK_COUNTER(acksReceived), MIRA_SOAK_COUNTER(naksSent), MIRA_SOAK_COUNTER(naksReceived),
                MIRA_SOAK_COUNTER(enqsSent), MIRA_SOAK_COUNTER(enqsReceived), MIRA_SOAK_COUNTER(retransmissions),
                MIRA_SOAK_COUNTER(framesRefused), MIRA_SOAK_COUNTER(badChecks), MIRA_SOAK_COUNTER(replyTimeouts),
                MIRA_SOAK_COUNTER(overflows), MIRA_SOAK_COUNTER(lineResets), MIRA_SOAK_COUNTER(resetAcks),
                MIRA_SOAK_COUNTER(resetNaks));
#undef MIRA_SOAK_COUNTER
    return wrong == 0 && badQuality == 0 && overran == 0 ? 0 : 1;
}
