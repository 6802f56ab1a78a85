// The `listen` key of a face that serves a socket ([http], [modbus]): HOST:PORT,
// the host a name or an IPv4 address, or an IPv6 one in brackets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mira::serve {

struct ListenAddress {
    std::string host;  // without the brackets of an IPv6 address
    uint16_t port = 0;
};

std::optional<ListenAddress> ParseListen(const std::string& text);

}  // namespace mira::serve
