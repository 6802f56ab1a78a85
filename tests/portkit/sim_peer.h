// The simulator as the far end of a real line: the master side of a pseudo-terminal or a
// TCP listener on 127.0.0.1, with a thread of its own, and the line's own faults.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "sim/simulator.h"

namespace mira::test {

// What the driver and Portkit may spend besides the reply time-out, from what they are built of.
namespace bounds {
constexpr long kLineResetMs = 30 * 10;            // a DLE ENQ, then 30 passes of 10 ms for the answer
constexpr long kFourResetsMs = 4 * kLineResetMs;  // a failed read ends with four; the open runs four
// Portkit's channel bound: the longest frame (512 bytes, all doubled, framed: 538 ms at 19200 8N1) + 100 ms.
constexpr long kChannelBoundMs = 538 + 100;
constexpr long kLoadFactor = 2;  // sleeps and hand-overs on a loaded 2-core box under a sanitizer
// Past the time-out each channel wait (before the request, in each reset) may run to its bound: noise holds it.
constexpr long kAfterTimeoutMs = kLoadFactor * (5 * kChannelBoundMs + kFourResetsMs);
constexpr long kAckTimeoutMs = 250;    // by default DLE ENQ after 250 ms without DLE ACK
constexpr long kFirstReopenMs = 1000;  // a lost line is opened again after 1 s, then 2 s, 4 s ...
}  // namespace bounds

class SimPeer {
public:
    enum class Via { Pty, Tcp };

    // A TCP peer listens on tcpPort, or on a free port when it is 0.
    explicit SimPeer(const sim::Options& options, Via via = Via::Pty, uint16_t tcpPort = 0)
        : sim_(options), via_(via) {
        if (via == Via::Pty) {
            fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            // A mira started as a child must not hold the master too, or the device could never vanish.
            if (fd_ >= 0) ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
            if (fd_ >= 0 && ::grantpt(fd_) == 0 && ::unlockpt(fd_) == 0) port_ = ::ptsname(fd_);
        } else {
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{AF_INET, htons(tcpPort), {htonl(INADDR_LOOPBACK)}, {}};
            const int on = 1;  // a server restarted on its port takes it again at once
            ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            socklen_t length = sizeof address;
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 1) == 0 &&
                ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
                tcpPort_ = ntohs(address.sin_port);
                port_ = "socket://127.0.0.1:" + std::to_string(tcpPort_);
            }
        }
        thread_ = std::thread([this] { via_ == Via::Pty ? Pump(fd_) : Serve(); });
    }

    ~SimPeer() { Vanish(); }

    const std::string& port() const { return port_; }
    uint16_t tcpPort() const { return tcpPort_; }
    sim::Simulator& sim() { return sim_; }

    // The far end goes away at once, as an unplugged adapter does.
    void Vanish() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

    // While on, noise replaces the controller's bytes; off returns once the last noise is written.
    void Flood(bool on) {
        flood_.store(on);
        for (int i = 0; i < 1000 && !on && flooding_.load(); ++i) ::usleep(1000);
    }

    // While on, a TCP peer accepts each connection and closes it at once.
    void Slam(bool on) { slam_.store(on); }

    // While on, every byte sent comes back (a two-wire adapter); the controller hears them if on the line.
    void Echo(bool on, bool controller) {
        echo_.store(on);
        deaf_.store(on && !controller);
    }

private:
    // Moves bytes between fd and the simulator until told to stop or a TCP client goes.
    void Pump(int fd) {
        uint8_t buffer[512];
        std::minstd_rand noise;
        while (!stop_.load()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1) > 0) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    const auto count = static_cast<size_t>(n);
                    if (echo_.load() && ::write(fd, buffer, count) < 0 && errno != EAGAIN) break;
                    if (!deaf_.load()) sim_.FromMaster(buffer, count);
                } else if (via_ == Via::Tcp && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
                    return;
                } else if (n < 0) {
                    ::usleep(1000);  // a pseudo-terminal with no slave open reads EIO
                }
            }
            flooding_.store(flood_.load());
            if (flooding_.load()) {
                for (uint8_t& b : buffer) b = static_cast<uint8_t>(noise());
                if (::write(fd, buffer, sizeof buffer) < 0 && errno != EAGAIN) break;
                (void)sim_.ToMaster(buffer, sizeof buffer);  // the controller's bytes are lost in it
                continue;
            }
            for (size_t n; (n = sim_.ToMaster(buffer, sizeof buffer)) > 0;)
                if (::write(fd, buffer, n) < 0 && errno != EAGAIN) break;
        }
    }

    void Serve() {
        while (!stop_.load()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0) continue;
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) continue;
            if (!slam_.load()) Pump(client);
            ::close(client);
        }
    }

    sim::Simulator sim_;
    Via via_;
    int fd_ = -1;
    std::string port_;
    uint16_t tcpPort_ = 0;
    std::atomic<bool> stop_{false}, slam_{false}, flood_{false}, flooding_{false}, echo_{false}, deaf_{false};
    std::thread thread_;
};

}  // namespace mira::test
