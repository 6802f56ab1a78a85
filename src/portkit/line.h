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

    // Whether Wake ends a Read at once. Only such a line is read in long
    // waits while nothing on our side counts time; any other is read in
    // short steps throughout.
    virtual bool Wakeable() const { return false; }
    // Ends the Read waiting now, or else the next one, at once (with Nothing).
    virtual void Wake() {}
};

// Each returns the line, or null with *code (an open code) and *why set.
std::unique_ptr<Line> OpenSerial(const LineSettings& settings, int32_t* code, std::string* why);
std::unique_ptr<Line> OpenTcp(const LineSettings& settings, int32_t* code, std::string* why);
std::unique_ptr<Line> OpenSimulator(const LineSettings& settings, int32_t* code, std::string* why);

// Waits until fd is readable (POLLIN) or writable, at most waitMs; true when ready.
bool WaitFd(int fd, bool forWrite, uint32_t waitMs);

#ifndef _WIN32
// What ends a line's poll early: an event a sender raises. A line whose
// signal could not be made (fd() < 0) is not wakeable.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    int fd() const { return fd_; }
    void Raise() const;

private:
    int fd_;
};

// Polls fd for input, and wake, at most waitMs. Returns fd's events, 0 when
// the wait ended without any (time-out, wake or signal); a wake is taken
// down here.
short PollInput(int fd, const WakeSignal& wake, uint32_t waitMs);
#endif

}  // namespace mira::portkit
