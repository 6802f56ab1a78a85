// A serial device in raw mode: termios with the block's speed and format.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "mira/portkit_codes.h"
#include "portkit/line.h"

namespace mira::portkit {

bool WaitFd(int fd, bool forWrite, uint32_t waitMs) {
    pollfd p{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    const int n = ::poll(&p, 1, static_cast<int>(waitMs));
    return n > 0;
}

WakeSignal::WakeSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
    if (fd_ >= 0) ::close(fd_);
}

void WakeSignal::Raise() const {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    // A full counter is already raised; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

short PollInput(int fd, const WakeSignal& wake, uint32_t waitMs) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake.fd(), POLLIN, 0}};
    if (::poll(p, wake.fd() >= 0 ? 2 : 1, static_cast<int>(waitMs)) <= 0) return 0;
    if ((p[1].revents & POLLIN) != 0) {
        uint64_t raised = 0;
        [[maybe_unused]] const ssize_t n = ::read(wake.fd(), &raised, sizeof raised);
    }
    return p[0].revents;
}

namespace {

class SerialLine final : public Line {
public:
    explicit SerialLine(int fd) : fd_(fd) {}
    ~SerialLine() override { ::close(fd_); }

    ReadResult Read(uint8_t* out, size_t capacity, size_t* count, uint32_t waitMs) override {
        *count = 0;
        const short revents = PollInput(fd_, wake_, waitMs);
        if (revents == 0) return ReadResult::Nothing;
        if ((revents & (POLLERR | POLLNVAL)) != 0) return ReadResult::Closed;
        const ssize_t got = ::read(fd_, out, capacity);
        if (got > 0) {
            *count = static_cast<size_t>(got);
            return ReadResult::Bytes;
        }
        if (got < 0) {
            // EIO, ENXIO or ENODEV: an adapter pulled out, or the far end of a
            // pseudo-terminal closed. Anything else passes.
            return (errno == EIO || errno == ENXIO || errno == ENODEV) ? ReadResult::Closed : ReadResult::Nothing;
        }
        // A read of nothing after POLLIN is a hang-up only when poll said so: a
        // sender's DiscardInput can empty the queue between our poll and our
        // read, which on a busy line (noise) happens often.
        return (revents & POLLHUP) != 0 ? ReadResult::Closed : ReadResult::Nothing;
    }

    int32_t Write(const uint8_t* bytes, size_t count) override {
        std::lock_guard<std::mutex> lock(writeMutex_);
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::write(fd_, bytes + done, count - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                if (!WaitFd(fd_, true, 1000)) return MIRA_PK_ERR_SEND;
                continue;
            }
            return (errno == EIO || errno == ENXIO || errno == ENODEV) ? MIRA_PK_ERR_CLOSED : MIRA_PK_ERR_SEND;
        }
        return 0;
    }

    bool OutputDrained() override {
        int pending = 0;
        if (::ioctl(fd_, TIOCOUTQ, &pending) != 0) return true;
        return pending == 0;
    }

    void DiscardInput() override { ::tcflush(fd_, TCIFLUSH); }

    bool Wakeable() const override { return wake_.fd() >= 0; }
    void Wake() override { wake_.Raise(); }

private:
    int fd_;
    std::mutex writeMutex_;
    WakeSignal wake_;
};

int32_t OpenCode(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return MIRA_PK_ERR_NO_DEVICE;
        case EACCES:
        case EPERM:
        case EROFS:
            return MIRA_PK_ERR_PERMISSION;
        case EBUSY:
        case EWOULDBLOCK:
            return MIRA_PK_ERR_BUSY;
        default:
            return MIRA_PK_ERR_NO_DEVICE;
    }
}

}  // namespace

std::unique_ptr<Line> OpenSerial(const LineSettings& s, int32_t* code, std::string* why) {
    const int fd = ::open(s.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        *code = OpenCode(e);
        *why = s.path + ": " + std::strerror(e);
        return nullptr;
    }
    auto fail = [&](int32_t c, const std::string& reason) {
        ::close(fd);
        *code = c;
        *why = s.path + ": " + reason;
        return nullptr;
    };
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return fail(MIRA_PK_ERR_SETTINGS, "not a serial device");
    // Another program holding an advisory lock, or a terminal already opened
    // exclusively, means the device is busy.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(MIRA_PK_ERR_BUSY, "in use by another program");
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(MIRA_PK_ERR_BUSY, std::strerror(errno));

    ::cfmakeraw(&tio);
    const speed_t speed = SpeedConstant(s.baud);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | (s.dataBits == 7 ? CS7 : CS8);
    if (s.parity != 0) tio.c_cflag |= PARENB | (s.parity == 1 ? PARODD : 0);
    if (s.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    // With parity, a character that fails it is read as 0, never as a good
    // byte; with 7 data bits, the eighth bit some adapters fill is dropped.
    // A pseudo-terminal keeps these where it drops PARENB and CS7, which is
    // how `mira sim` learns the format its far end set.
    if (s.parity != 0) tio.c_iflag |= INPCK;
    if (s.dataBits == 7) tio.c_iflag |= ISTRIP;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        // A terminal that drops a format it has no use for (a pseudo-terminal
        // keeps no parity) refuses with EINVAL when nothing else was left to
        // change, as on the second open with even parity. The line is the one
        // asked for when it runs at the speed asked for.
        const int e = errno;
        termios now{};
        if (e != EINVAL || ::tcgetattr(fd, &now) != 0 || ::cfgetospeed(&now) != speed ||
            (now.c_iflag & INPCK) != (tio.c_iflag & INPCK))
            return fail(MIRA_PK_ERR_SETTINGS, std::strerror(e));
    }
    ::tcflush(fd, TCIOFLUSH);
    *code = 0;
    why->clear();
    return std::make_unique<SerialLine>(fd);
}

}  // namespace mira::portkit
