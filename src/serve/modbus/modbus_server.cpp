#include "serve/modbus/modbus_server.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "serve/modbus/modbus_pdu.h"

namespace mira::serve::modbus {
namespace {

using Clock = std::chrono::steady_clock;

int64_t Now() { return Clock::now().time_since_epoch().count(); }

// Waits until fd is ready for `events` or the deadline passed or the server
// stops (wake is readable); true when fd is ready.
bool WaitFor(int fd, short events, int wake, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        const int n = ::poll(p, 2, static_cast<int>(std::min<int64_t>(left, 60000)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || p[1].revents != 0) return false;
        if (p[0].revents != 0) return true;
    }
}

// Reads exactly size bytes by the deadline; false on the end of the
// connection, an error, the deadline or a stop.
bool ReadExact(int fd, int wake, uint8_t* out, size_t size, Clock::time_point deadline) {
    for (size_t got = 0; got < size;) {
        if (!WaitFor(fd, POLLIN, wake, deadline)) return false;
        const ssize_t n = ::recv(fd, out + got, size - got, MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, int wake, const std::vector<uint8_t>& bytes, Clock::time_point deadline) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (!WaitFor(fd, POLLOUT, wake, deadline)) return false;
    }
    return true;
}

}  // namespace

struct Client {
    int fd = -1;          // guarded by Impl::mutex; -1 once its thread closed it
    bool evicted = false; // guarded by Impl::mutex
    std::atomic<int64_t> lastHeard{Now()};  // connected, or the last whole request
    std::atomic<bool> done{false};
    std::thread thread;
};

struct Server::Impl {
    ServerOptions options;
    ServerHooks hooks;
    modbus_t* context = nullptr;
    int listenFd = -1;
    int wake = -1;    // an eventfd, written once by Stop and never read: every poll of the server wakes
    int finished = -1;  // an eventfd a client's thread writes as it ends, for the acceptor to reap it
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    bool started = false;
    std::thread acceptor;
    std::mutex mutex;
    std::list<std::unique_ptr<Client>> clients;  // guarded by mutex

    void Accept();
    void Serve(Client* client);
    void Admit(int fd);
    size_t Reap();
};

// One client: frames in, answers out, until it leaves, falls silent, breaks
// the framing or the server stops.
void Server::Impl::Serve(Client* client) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex);
        fd = client->fd;
    }
    uint8_t adu[kMaxAdu];
    for (;;) {
        // The first byte may take as long as the client idles; the rest of
        // the frame must follow within the frame's time.
        if (!WaitFor(fd, POLLIN, wake, Clock::now() + options.idle)) break;
        const auto deadline = Clock::now() + options.frame;
        if (!ReadExact(fd, wake, adu, kHeaderBytes, deadline)) break;
        Header header;
        const Framing framing = ReadHeader(adu, &header);
        size_t size = kHeaderBytes;
        if (framing == Framing::Good) {
            size = 6u + header.length;
        } else if (framing == Framing::TooLong) {
            size = kHeaderBytes + 1;  // the function code, for the exception
        } else {
            hooks.answer(adu, size, stopping);  // counted; never answered
            break;
        }
        if (!ReadExact(fd, wake, adu + kHeaderBytes, size - kHeaderBytes, deadline)) break;
        client->lastHeard.store(Now());
        const std::vector<uint8_t> reply = hooks.answer(adu, size, stopping);
        if (!reply.empty() && !WriteAll(fd, wake, reply, Clock::now() + options.frame)) break;
        // Past a too-long header the stream holds bytes of unknown meaning.
        if (framing != Framing::Good || reply.empty()) break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        ::close(client->fd);
        client->fd = -1;
    }
    client->done.store(true);
    ::eventfd_write(finished, 1);
}

size_t Server::Impl::Reap() {
    std::list<std::unique_ptr<Client>> finished;
    size_t left = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = clients.begin(); it != clients.end();) {
            if ((*it)->done.load()) {
                finished.push_back(std::move(*it));
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        left = clients.size();
    }
    for (auto& c : finished) c->thread.join();
    return left;
}

void Server::Impl::Admit(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t active = 0;
    Client* quietest = nullptr;
    for (const auto& c : clients) {
        if (c->evicted || c->fd < 0) continue;
        ++active;
        if (quietest == nullptr || c->lastHeard.load() < quietest->lastHeard.load()) quietest = c.get();
    }
    if (active >= options.maxClients) {
        const auto silent = std::chrono::nanoseconds(Now() - (quietest ? quietest->lastHeard.load() : Now()));
        if (quietest == nullptr || silent < options.evictAfter) {
            ::close(fd);
            return;
        }
        // Its thread sees the end of the connection and leaves; the place is
        // the newcomer's from now on.
        quietest->evicted = true;
        ::shutdown(quietest->fd, SHUT_RDWR);
    }
    auto client = std::make_unique<Client>();
    client->fd = fd;
    Client* raw = client.get();
    clients.push_back(std::move(client));
    raw->thread = std::thread([this, raw] { Serve(raw); });
}

void Server::Impl::Accept() {
    size_t shown = 0;
    while (!stopping.load()) {
        pollfd p[3] = {{listenFd, POLLIN, 0}, {wake, POLLIN, 0}, {finished, POLLIN, 0}};
        if (::poll(p, 3, -1) < 0 && errno != EINTR) break;
        if (stopping.load()) break;
        if (p[2].revents != 0) {
            eventfd_t count;
            ::eventfd_read(finished, &count);
        }
        if (p[0].revents != 0) {
            int listening = listenFd;  // libmodbus may rewrite what it is given
            const int fd = modbus_tcp_pi_accept(context, &listening);
            if (fd >= 0) Admit(fd);
        }
        const size_t now = Reap();
        if (now != shown && hooks.clients) hooks.clients(now);
        shown = now;
    }
}

Server::Server(ServerOptions options, ServerHooks hooks) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->hooks = std::move(hooks);
}

Server::~Server() {
    Stop();
    if (impl_->context != nullptr) modbus_free(impl_->context);
}

bool Server::Start(std::string* why) {
    Impl& s = *impl_;
    const std::string where = (s.options.host.find(':') != std::string::npos ? "[" + s.options.host + "]"
                                                                               : s.options.host) +
                              ":" + std::to_string(s.options.port);
    s.context = modbus_new_tcp_pi(s.options.host.c_str(), std::to_string(s.options.port).c_str());
    if (s.context == nullptr) {
        *why = "cannot listen on " + where + ": " + std::strerror(errno);
        return false;
    }
    s.listenFd = modbus_tcp_pi_listen(s.context, 64);
    if (s.listenFd < 0) {
        *why = "cannot listen on " + where + ": " + std::strerror(errno);
        return false;
    }
    // Accepting only when poll says a connection waits; one that vanished in
    // between must not block the accepting thread.
    ::fcntl(s.listenFd, F_SETFL, ::fcntl(s.listenFd, F_GETFL) | O_NONBLOCK);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(s.listenFd, reinterpret_cast<sockaddr*>(&bound), &length);
    s.port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    s.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    s.finished = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wake < 0 || s.finished < 0) {
        *why = std::string("no event for the Modbus threads: ") + std::strerror(errno);
        for (int* fd : {&s.listenFd, &s.wake, &s.finished})
            if (*fd >= 0) ::close(std::exchange(*fd, -1));
        return false;
    }
    s.started = true;
    s.acceptor = std::thread([&s] { s.Accept(); });
    return true;
}

void Server::Stop() {
    Impl& s = *impl_;
    if (!s.started) return;
    s.started = false;
    s.stopping.store(true);
    ::eventfd_write(s.wake, 1);
    s.acceptor.join();
    std::list<std::unique_ptr<Client>> all;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        all.swap(s.clients);
    }
    for (auto& c : all) c->thread.join();
    for (int* fd : {&s.listenFd, &s.wake, &s.finished}) ::close(std::exchange(*fd, -1));
    if (s.hooks.clients) s.hooks.clients(0);
}

uint16_t Server::Port() const { return impl_->port; }

}  // namespace mira::serve::modbus
