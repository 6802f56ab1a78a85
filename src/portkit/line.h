// One open line under a port: a serial device, a TCP connection to a serial
// device server, or the simulator. The port's receive thread reads; senders
// write from the host thread and (DLE ACK) from the receive thread, so every
// implementation is safe for one reader and several writers at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "portkit/port_name.h"

namespace mira::portkit {

// What a read found.
enum class ReadResult { Bytes, Nothing, Closed };

class Line {
public:
    virtual ~Line() = default;

    // Waits at most waitMs for bytes and copies up to capacity of them.
    virtual ReadResult Read(uint8_t* out, size_t capacity, size_t* count, uint32_t waitMs) = 0;

    // Writes every byte, or returns a Portkit code (SEND, CLOSED, DISCONNECTED).
    virtual int32_t Write(const uint8_t* bytes, size_t count) = 0;

    // True once the kernel's output queue is empty.
    virtual bool OutputDrained() = 0;

    // Throws away bytes received but not yet read, so that a late reply to an
    // earlier exchange cannot be taken for the reply to the next one.
    virtual void DiscardInput() = 0;
};

// Each returns the line, or null with *code (an open code) and *why set.
std::unique_ptr<Line> OpenSerial(const LineSettings& settings, int32_t* code, std::string* why);
std::unique_ptr<Line> OpenTcp(const LineSettings& settings, int32_t* code, std::string* why);
std::unique_ptr<Line> OpenSimulator(const LineSettings& settings, int32_t* code, std::string* why);

// Waits until fd is readable (POLLIN) or writable, at most waitMs; true when ready.
bool WaitFd(int fd, bool forWrite, uint32_t waitMs);

}  // namespace mira::portkit
