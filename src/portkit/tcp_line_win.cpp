// TCP to a serial device server through Winsock: raw bytes both ways, as a
// serial line, with the same reconnect-on-send as on Linux.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "mira/portkit_codes.h"
#include "platform/win32.h"
#include "portkit/line.h"
#include "portkit/wake.h"

namespace mira::portkit {
namespace {

constexpr uint32_t kConnectTimeoutMs = 3000;
constexpr uint32_t kConnectStepMs = 20;

// Winsock is started once per process and left running: a host may open and
// close ports many times, and the system cleans up at exit.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Waits until s is readable (or writable), at most waitMs; true when ready.
bool WaitSocket(SOCKET s, bool forWrite, uint32_t waitMs) {
    WSAPOLLFD p{s, static_cast<SHORT>(forWrite ? POLLWRNORM : POLLRDNORM), 0};
    return ::WSAPoll(&p, 1, static_cast<INT>(waitMs)) > 0;
}

// A connected, non-blocking socket, or INVALID_SOCKET with *code and *why.
SOCKET Connect(const std::string& host, uint16_t port, int32_t* code, std::string* why) {
    const std::string service = std::to_string(port);
    const std::string where = host + ":" + service;
    if (!StartWinsock()) {
        *code = MIRA_PK_ERR_RESOURCES;
        *why = where + ": Winsock did not start";
        return INVALID_SOCKET;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        *code = MIRA_PK_ERR_NO_DEVICE;
        *why = where + ": " + win::ErrorText(static_cast<DWORD>(rc));
        return INVALID_SOCKET;
    }
    SOCKET s = INVALID_SOCKET;
    *code = MIRA_PK_ERR_CONNECT;
    *why = where + ": connection failed";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        int rc = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
        if (rc != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
            // A refused connection shows as an error on the socket, which
            // WSAPoll reports as ready; SO_ERROR tells the two apart.
            // In short steps, so that a host ending its waits is not kept.
            bool ready = false;
            for (uint32_t waited = 0; !ready && waited < kConnectTimeoutMs && !CancelRequested();
                 waited += kConnectStepMs)
                ready = WaitSocket(s, true, kConnectStepMs);
            if (!ready) {
                ::closesocket(s);
                s = INVALID_SOCKET;
                if (CancelRequested()) {
                    *code = MIRA_PK_ERR_CANCELLED;
                    *why = where + ": the host ended its waits during the connect";
                    break;
                }
                *why = where + ": connect timed out after " + std::to_string(kConnectTimeoutMs) + " ms";
                continue;
            }
            int error = 0;
            int length = sizeof error;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            ::WSASetLastError(error);
            rc = error == 0 ? 0 : -1;
        }
        if (rc == 0) break;
        *why = where + ": " + win::ErrorText(static_cast<DWORD>(::WSAGetLastError()));
        ::closesocket(s);
        s = INVALID_SOCKET;
    }
    ::freeaddrinfo(found);
    if (s == INVALID_SOCKET) return s;
    // A device server that is switched off is noticed within about 25 s even
    // when no exchange is running; small frames go out at once.
    tcp_keepalive alive{1, 10000, 5000};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &alive, sizeof alive, nullptr, 0, &returned, nullptr, nullptr);
    const BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    *code = 0;
    why->clear();
    return s;
}

class TcpLine final : public Line {
public:
    TcpLine(const LineSettings& s, SOCKET socket) : host_(s.host), port_(s.tcpPort), socket_(socket) {}
    ~TcpLine() override {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    }

    ReadResult Read(uint8_t* out, size_t capacity, size_t* count, uint32_t waitMs) override {
        *count = 0;
        SOCKET s;
        {
            win::Held hold(lock_);
            s = socket_;
        }
        if (s == INVALID_SOCKET) {
            ::Sleep(waitMs);
            return ReadResult::Nothing;
        }
        if (!WaitSocket(s, false, waitMs)) return ReadResult::Nothing;
        win::Held hold(lock_);
        if (socket_ != s) return ReadResult::Nothing;  // reconnected meanwhile
        const int got = ::recv(socket_, reinterpret_cast<char*>(out), static_cast<int>(capacity), 0);
        if (got > 0) {
            *count = static_cast<size_t>(got);
            return ReadResult::Bytes;
        }
        if (got < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return ReadResult::Nothing;
        DropLocked();
        return ReadResult::Closed;
    }

    int32_t Write(const uint8_t* bytes, size_t count) override {
        win::Held hold(lock_);
        if (socket_ == INVALID_SOCKET) {
            // Dropped earlier: one reconnect attempt per send.
            int32_t code = 0;
            std::string why;
            socket_ = Connect(host_, port_, &code, &why);
            if (socket_ == INVALID_SOCKET) return MIRA_PK_ERR_DISCONNECTED;
        }
        size_t done = 0;
        while (done < count) {
            const int n = ::send(socket_, reinterpret_cast<const char*>(bytes + done), static_cast<int>(count - done), 0);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
                if (!WaitSocket(socket_, true, 1000)) return MIRA_PK_ERR_SEND;
                continue;
            }
            DropLocked();
            return MIRA_PK_ERR_DISCONNECTED;
        }
        return 0;
    }

    // Winsock tells nothing of its send queue; what send took is on its way.
    bool OutputDrained() override { return true; }

    void DiscardInput() override {
        win::Held hold(lock_);
        if (socket_ == INVALID_SOCKET) return;
        char sink[512];
        for (int i = 0; i < 64; ++i)
            if (::recv(socket_, sink, sizeof sink, 0) <= 0) break;
    }

private:
    void DropLocked() {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

    std::string host_;
    uint16_t port_;
    win::Lock lock_;
    SOCKET socket_;
};

}  // namespace

std::unique_ptr<Line> OpenTcp(const LineSettings& s, int32_t* code, std::string* why) {
    const SOCKET socket = Connect(s.host, s.tcpPort, code, why);
    if (socket == INVALID_SOCKET) return nullptr;
    return std::make_unique<TcpLine>(s, socket);
}

}  // namespace mira::portkit
