// A controller on a pseudo-terminal that sends an unsolicited typed write
// (N7:5 = 11, 22 to station 0) once a second until the master answers it.
// Prints the terminal's path first; exits 0 once answered, 1 after 30 s.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "sim/simulator.h"

int main() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 1;
    // The slave stays open in raw mode so the pair lives between clients.
    const int keep = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    termios tio{};
    if (keep < 0 || ::tcgetattr(keep, &tio) != 0) return 1;
    ::cfmakeraw(&tio);
    ::tcsetattr(keep, TCSANOW, &tio);
    std::printf("%s\n", ::ptsname(master));
    std::fflush(stdout);

    mira::sim::Simulator sim(mira::sim::Options{});
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto next = start + std::chrono::seconds(1);
    uint8_t buffer[512];
    while (Clock::now() - start < std::chrono::seconds(30)) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) sim.FromMaster(buffer, static_cast<size_t>(n));
        }
        if (Clock::now() >= next) {
            sim.SendUnsolicitedTypedWrite(0, 7, 0x89, 5, 0, {11, 22});
            next += std::chrono::seconds(1);
        }
        for (size_t n; (n = sim.ToMaster(buffer, sizeof buffer)) > 0;)
            if (::write(master, buffer, n) < 0) return 1;
        if (!sim.TakeMasterReplies().empty()) return 0;  // its DLE ACK went out above
    }
    return 1;
}
