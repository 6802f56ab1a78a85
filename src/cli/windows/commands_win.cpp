// The subcommands that work without the driver, as mira.exe has them: the
// simulator runs in the built-in port ("sim") or in the Linux mira, and the
// serial ports are the COM devices the system knows.
#include <windows.h>

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/server_client.h"

namespace mira::cli {

int RunSim(const Options&, const std::atomic<bool>&) {
    std::fprintf(stderr,
                 "mira sim: the simulator on a pseudo-terminal or a TCP port runs in the Linux mira; "
                 "mira.exe has the built-in one (--port sim)\n");
    return kExitComm;
}

// The gateway needs a process that owns the line for good, with threads,
// sockets and the TOML reader; mira.exe is the command-line host only.
int RunServe(const Options&) {
    std::fprintf(stderr, "mira serve: this build has no gateway; mira serve runs in the Linux mira\n");
    return kExitUsage;
}

// --server talks HTTP to a gateway that runs in the Linux mira; mira.exe
// has no HTTP client.
Served ServedRead(const Options&, const std::string&, const std::vector<std::string>&) {
    Served s;
    s.message = "--server: this build has no HTTP client; it runs in the Linux mira";
    return s;
}

Served ServedWrite(const Options& o, const std::string& header, const std::vector<std::string>& items,
                   const std::vector<std::string>&, bool) {
    return ServedRead(o, header, items);
}

int RunPorts(const Options&) {
    int found = 0;
    for (int n = 1; n <= 255; ++n) {
        const std::wstring name = L"COM" + std::to_wstring(n);
        wchar_t target[512];
        if (QueryDosDeviceW(name.c_str(), target, sizeof target / sizeof target[0]) == 0) continue;
        std::printf("COM%-13d %ls\n", n, target);
        ++found;
    }
    if (found == 0) std::printf("no serial ports found\n");
    return kExitOk;
}

}  // namespace mira::cli
