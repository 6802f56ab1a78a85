// The Modbus TCP listener: libmodbus binds and accepts; each client gets a
// thread of its own, so a client waiting on a write to the controller, or
// one that stalls mid-frame, delays nobody else. Frames are cut by the MBAP
// header's length, never by guessing from the function code, so a function
// the face does not serve, or a malformed request, cannot put the next
// request's bytes out of step.
//
// Bounds: at most maxClients clients at once. When all are taken, a new
// connection takes the place of the client silent the longest, if that one
// has been silent at least `evictAfter`; otherwise it is closed at once. A
// client silent for `idle` is closed; a frame once begun must be whole
// within `frame`. No buffer holds more than one ADU of 260 bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mira::serve::modbus {

struct ServerOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 1502;  // 0: any free port (Port() says which)
    size_t maxClients = 8;
    std::chrono::milliseconds idle{60000};
    std::chrono::milliseconds frame{1000};
    std::chrono::milliseconds evictAfter{1000};
};

struct ServerHooks {
    // Answers one ADU as its header framed it (see DecodeRequest); an empty
    // reply answers nothing. Runs on the client's thread and may wait (a
    // write); `stopping` turns true when the server stops, and the answer
    // should then end soon.
    std::function<std::vector<uint8_t>(const uint8_t* adu, size_t size, const std::atomic<bool>& stopping)> answer;
    // The number of connected clients changed.
    std::function<void(size_t clients)> clients;
};

class Server {
public:
    Server(ServerOptions options, ServerHooks hooks);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts accepting; false with the reason in *why.
    bool Start(std::string* why);
    // Closes every connection and returns once no thread of the server runs.
    void Stop();
    uint16_t Port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mira::serve::modbus
