// The line thread of `mira serve`: the one thread that makes every driver
// call, since the driver serves one host thread at a time. It opens the line
// once, so the open's line resets are paid once per process, then:
//
//   - runs each scan class when its period is due, group by group as the
//     plan cuts it. A scan that falls a whole period behind runs once, not
//     in a burst, and counts an overrun;
//   - between two transactions makes the writes and one-shot requests the
//     faces queued in the store, so that each waits for at most the
//     transaction under way, and answers the controller's unsolicited
//     messages as `mira listen` answers them, keeping them as events;
//   - stores what each read gave: values at the driver's quality with its
//     time stamp, or a failure (quality 0, the code and its meaning) that
//     keeps the tag's last value and time. While Portkit has lost the line
//     (4099) the reads fail at once; they succeed again by themselves once
//     Portkit has opened it again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/codes.h"
#include "serve/config.h"
#include "serve/store.h"

namespace mira::serve {

class LineThread {
public:
    // Reads the configuration again (SIGHUP): a Config, or nullopt with every
    // problem in *problems. Called on the line thread, since the address
    // checks are driver calls.
    using Loader = std::function<std::optional<Config>(std::string* problems)>;

    // The store holds config's tags, in the same order.
    LineThread(TagStore& store, Config config, Loader loader);
    ~LineThread();
    LineThread(const LineThread&) = delete;
    LineThread& operator=(const LineThread&) = delete;

    // Starts the thread, which opens the line, and returns once the open has
    // ended: 0, or the open's code with the reason in *why (the thread has
    // ended then).
    int32_t Start(std::string* why);
    // Reads the tags and scan classes again between two transactions,
    // without reopening the line. A configuration with problems keeps the
    // tags as they are, and the log says why; [line] and the faces' tables
    // keep what the process started with.
    void Reload();
    // Ends the exchange under way at once (the host's cancel flag), closes
    // the line and returns once the thread has ended. Call the store's Stop
    // first, so that nothing waits on the line thread any more.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The cause of a failure as the faces name it: "refused", "no_reply",
// "line", "status"; "" for none.
const char* CauseName(host::Cause cause);

}  // namespace mira::serve
