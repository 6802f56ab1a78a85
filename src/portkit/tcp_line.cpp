// TCP to a serial device server: raw bytes both ways, as a serial line. One
// line is one connection; Portkit opens a new one when it drops.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "mira/portkit_codes.h"
#include "portkit/line.h"
#include "portkit/wake.h"

namespace mira::portkit {
namespace {

constexpr uint32_t kConnectTimeoutMs = 3000;
constexpr uint32_t kConnectStepMs = 20;

// A connected socket, or -1 with *code and *why.
int Connect(const std::string& host, uint16_t port, int32_t* code, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const std::string where = host + ":" + service;
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *code = MIRA_PK_ERR_NO_DEVICE;
        *why = where + ": " + ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    *code = MIRA_PK_ERR_CONNECT;
    *why = where + ": connection failed";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            // In short steps, so that a host ending its waits is not kept.
            bool ready = false;
            for (uint32_t waited = 0; !ready && waited < kConnectTimeoutMs && !CancelRequested();
                 waited += kConnectStepMs) {
                pollfd p{fd, POLLOUT, 0};
                ready = ::poll(&p, 1, static_cast<int>(kConnectStepMs)) > 0;
            }
            if (!ready) {
                ::close(fd);
                fd = -1;
                if (CancelRequested()) {
                    *code = MIRA_PK_ERR_CANCELLED;
                    *why = where + ": the host ended its waits during the connect";
                    break;
                }
                *why = where + ": connect timed out after " + std::to_string(kConnectTimeoutMs) + " ms";
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            errno = error;
            rc = error == 0 ? 0 : -1;
        }
        if (rc == 0) break;
        *why = where + ": " + std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd < 0) return -1;
    // A device server that is switched off is noticed within about 25 s even
    // when no exchange is running; small frames go out at once.
    const int on = 1, idle = 10, interval = 5, probes = 3;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *code = 0;
    why->clear();
    return fd;
}

class TcpLine final : public Line {
public:
    explicit TcpLine(int fd) : fd_(fd) {}
    ~TcpLine() override {
        if (fd_ >= 0) ::close(fd_);
    }

    ReadResult Read(uint8_t* out, size_t capacity, size_t* count, uint32_t waitMs) override {
        *count = 0;
        int fd;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = fd_;
        }
        if (fd < 0) return ReadResult::Closed;  // a send found it dropped
        if (PollInput(fd, wake_, waitMs) == 0) return ReadResult::Nothing;
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ != fd) return ReadResult::Closed;  // a send dropped it meanwhile
        const ssize_t got = ::recv(fd_, out, capacity, MSG_DONTWAIT);
        if (got > 0) {
            *count = static_cast<size_t>(got);
            return ReadResult::Bytes;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return ReadResult::Nothing;
        DropLocked();
        return ReadResult::Closed;
    }

    int32_t Write(const uint8_t* bytes, size_t count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return MIRA_PK_ERR_DISCONNECTED;
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::send(fd_, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                if (!WaitFd(fd_, true, 1000)) return MIRA_PK_ERR_SEND;
                continue;
            }
            DropLocked();
            return MIRA_PK_ERR_DISCONNECTED;
        }
        return 0;
    }

    bool OutputDrained() override {
        std::lock_guard<std::mutex> lock(mutex_);
        int pending = 0;
        if (fd_ < 0 || ::ioctl(fd_, TIOCOUTQ, &pending) != 0) return true;
        return pending == 0;
    }

    void DiscardInput() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return;
        uint8_t sink[512];
        for (int i = 0; i < 64; ++i)
            if (::recv(fd_, sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
    }

    bool Wakeable() const override { return wake_.fd() >= 0; }
    void Wake() override { wake_.Raise(); }

private:
    // A poll on the socket closed here would wait on: the reader is woken to
    // find it dropped.
    void DropLocked() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        wake_.Raise();
    }

    std::mutex mutex_;
    int fd_;
    WakeSignal wake_;
};

}  // namespace

std::unique_ptr<Line> OpenTcp(const LineSettings& s, int32_t* code, std::string* why) {
    const int fd = Connect(s.host, s.tcpPort, code, why);
    if (fd < 0) return nullptr;
    return std::make_unique<TcpLine>(fd);
}

}  // namespace mira::portkit
