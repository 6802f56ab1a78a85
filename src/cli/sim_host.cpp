// `mira sim`: the simulator as a separate controller on the far end of a
// pseudo-terminal or behind a TCP port, for a second program to talk to.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"

#if MIRA_HAVE_SIM
#include "sim/simulator.h"
#endif

namespace mira::cli {

#if MIRA_HAVE_SIM
namespace {

sim::Family FamilyOf(const Options& o) {
    std::string model = o.model;
    if (model.empty() && o.port.rfind("sim:", 0) == 0) model = o.port.substr(4);
    for (char& c : model) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (model.rfind("PLC5", 0) == 0 || model.rfind("5", 0) == 0) return sim::Family::Plc5;
    if (model.rfind("PLC2", 0) == 0 || model.rfind("2", 0) == 0) return sim::Family::Plc2;
    return sim::Family::Slc500;
}

const char* FamilyName(sim::Family f) {
    return f == sim::Family::Plc5 ? "PLC-5" : f == sim::Family::Plc2 ? "PLC-2" : "SLC 500";
}

// Moves bytes between fd and the simulator until stop, or until fd closes
// (returns false then).
bool Pump(int fd, sim::Simulator& simulator, const std::atomic<bool>& stop) {
    uint8_t buffer[512];
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2) > 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                simulator.FromMaster(buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO)) {
                return false;
            }
        }
        for (size_t n; (n = simulator.ToMaster(buffer, sizeof buffer)) > 0;)
            if (::write(fd, buffer, n) < 0 && errno != EAGAIN) return false;
    }
    return true;
}

}  // namespace

int RunSim(const Options& o, const std::atomic<bool>& stop) {
    sim::Options options;
    options.family = FamilyOf(o);
    options.station = static_cast<uint8_t>(o.dst > 254 ? 1 : o.dst);
    options.crc = o.crc;
    sim::Simulator simulator(options);
    const char* check = o.crc ? "CRC" : "BCC";
    if (o.listenPort == 0) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            std::fprintf(stderr, "mira sim: no pseudo-terminal: %s\n", std::strerror(errno));
            return kExitComm;
        }
        const std::string slave = ::ptsname(master);
        // Holding the slave open keeps the pair alive between clients; in raw
        // mode it neither echoes nor edits what passes.
        const int keep = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (keep >= 0 && ::tcgetattr(keep, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(keep, TCSANOW, &tio);
        }
        std::printf("%s simulator, station %u, %s, on %s\n", FamilyName(options.family), options.station, check,
                    slave.c_str());
        std::fflush(stdout);
        Pump(master, simulator, stop);
        if (keep >= 0) ::close(keep);
        ::close(master);
        return kExitOk;
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(o.listenPort));
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(server, 1) != 0) {
        std::fprintf(stderr, "mira sim: cannot listen on port %u: %s\n", o.listenPort, std::strerror(errno));
        ::close(server);
        return kExitComm;
    }
    std::printf("%s simulator, station %u, %s, on TCP port %u\n", FamilyName(options.family), options.station, check,
                o.listenPort);
    std::fflush(stdout);
    while (!stop.load()) {
        pollfd p{server, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const int client = ::accept(server, nullptr, nullptr);
        if (client < 0) continue;
        Pump(client, simulator, stop);  // one master at a time, as on a cable
        ::close(client);
    }
    ::close(server);
    return kExitOk;
}

#else

int RunSim(const Options&, const std::atomic<bool>&) {
    std::fprintf(stderr, "mira sim: the simulator is not built into this mira\n");
    return kExitComm;
}

#endif

}  // namespace mira::cli
