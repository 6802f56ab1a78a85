// `mira read`, `mira write` and `mira write-item` through a running `mira
// serve` (--server http://HOST:PORT): the gateway's line makes the request,
// and the command prints the same rows and ends with the same exit status
// as with a line of its own. A write's token, where the gateway has one, is
// taken from the environment (MIRA_WRITE_TOKEN), never from the command
// line, where other users would see it.
#pragma once

#include <string>
#include <vector>

#include "cli/args.h"
#include "host/line.h"

namespace mira::cli {

struct Served {
    bool reached = false;  // false: the gateway did not answer; why in message
    int httpStatus = 0;
    int32_t code = 0;          // a refused or failed request's code; 0 for none
    std::string message;       // and what it means
    host::Cause cause = host::Cause::None;
    std::vector<host::ItemResult> results;  // a read's rows, one per item
};

// GET /api/read of each item under header, one read as `mira read` makes it.
Served ServedRead(const Options& options, const std::string& header, const std::vector<std::string>& items);

// POST /api/write: items under header with their values as typed; one item
// with the item write of `mira write-item` when single.
Served ServedWrite(const Options& options, const std::string& header, const std::vector<std::string>& items,
                   const std::vector<std::string>& texts, bool single);

// The cause of a failure as the gateway names it ("no_reply" ...).
host::Cause CauseNamed(const std::string& name);

}  // namespace mira::cli
