#include "serve/listen.h"

#include <cctype>

#include "host/options.h"

namespace mira::serve {

std::optional<ListenAddress> ParseListen(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    uint32_t port = 0;
    // Port 0: a free port the system picks; the log names it.
    if (!host::ParseUnsigned(text.substr(colon + 1), 0, 65535, &port)) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() <= 2 || host.back() != ']') return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else {
        for (char c : host)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return std::nullopt;
    }
    return ListenAddress{host, static_cast<uint16_t>(port)};
}

}  // namespace mira::serve
