#include "far_end.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <utility>

namespace mira::bench {
namespace {

uint64_t NowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

FarEnd::FarEnd(const sim::Options& options, std::function<void()> onThread)
    : paced_(options.baud > 0),
      pacer_(options.baud, options.bitsPerByte),
      simulator_(std::make_unique<sim::Simulator>(options)),
      onThread_(std::move(onThread)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    device_ = ::ptsname(master_);
    keep_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (keep_ >= 0 && ::tcgetattr(keep_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(keep_, TCSANOW, &tio);
    }
    thread_ = std::thread([this] { Run(); });
}

FarEnd::~FarEnd() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (keep_ >= 0) ::close(keep_);
    if (master_ >= 0) ::close(master_);
}

void FarEnd::TakeBytes(uint64_t* fromMaster, uint64_t* toMaster) {
    *fromMaster = fromMaster_.exchange(0);
    *toMaster = toMaster_.exchange(0);
}

void FarEnd::Run() {
    if (onThread_) onThread_();
    uint8_t buffer[512];
    std::deque<std::pair<uint8_t, uint64_t>> inFlight;  // a byte and when its stop bit is done
    // Paced, the far end wakes when the next of the driver's bytes has
    // crossed the line or the simulator's next byte is due, so that its own
    // pacing adds no latency, and looks at least every 200 us besides;
    // unpaced, every millisecond.
    const uint64_t pollUs = paced_ ? 200 : 1000;
    if (paced_) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stop_.load()) {
        pollfd p{master_, POLLIN, 0};
        uint64_t waitUs = pollUs;
        const uint64_t at = NowUs();
        const auto until = [&](uint64_t due) {
            if (due != 0) waitUs = due <= at ? 0 : std::min<uint64_t>(waitUs, due - at);
        };
        if (!inFlight.empty()) until(inFlight.front().second);
        if (paced_) until(simulator_->NextEventUs());
        const timespec wait{0, static_cast<long>(waitUs * 1000)};
        if (::ppoll(&p, 1, &wait, nullptr) > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            const uint64_t now = NowUs();
            for (ssize_t i = 0; i < n; ++i) inFlight.emplace_back(buffer[i], pacer_.Next(now));
            if (n > 0) fromMaster_.fetch_add(static_cast<uint64_t>(n));
        }
        const uint64_t now = NowUs();
        size_t due = 0;
        // At most a buffer's worth a pass: after a long stall more may be due,
        // and the rest goes on the next pass.
        while (due < inFlight.size() && due < sizeof buffer && inFlight[due].second <= now)
            buffer[due] = inFlight[due].first, ++due;
        if (due > 0) {
            simulator_->FromMaster(buffer, due);
            inFlight.erase(inFlight.begin(), inFlight.begin() + static_cast<std::ptrdiff_t>(due));
        }
        for (size_t n; (n = simulator_->ToMaster(buffer, sizeof buffer)) > 0;) {
            toMaster_.fetch_add(n);
            if (::write(master_, buffer, n) < 0) break;
        }
    }
}

}  // namespace mira::bench
