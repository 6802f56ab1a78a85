// `mira sim`: the simulator as a separate controller on the far end of a
// pseudo-terminal or behind a TCP port, for a second program to talk to.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"

#if MIRA_HAVE_SIM
#include "sim/samples.h"
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

// The character format of a line: speed, parity (0 none, 1 odd, 2 even)
// and data bits.
struct LineFormat {
    speed_t speed = 0;
    uint32_t parity = 0;
    uint32_t dataBits = 8;
    bool operator==(const LineFormat&) const = default;
};

speed_t SpeedOf(uint32_t baud) {
    static const std::pair<uint32_t, speed_t> kSpeeds[] = {
        {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& [rate, speed] : kSpeeds)
        if (rate == baud) return speed;
    return B0;
}

// The format the other end of the pseudo-terminal set. The terminal keeps
// the speed but drops the parity and character size bits, so those are read
// from the input checks set with them: INPCK with parity (PARODD kept for
// odd), ISTRIP with 7 data bits.
LineFormat FarEndFormat(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return {};
    LineFormat f;
    f.speed = ::cfgetospeed(&t);
    f.parity = (t.c_iflag & INPCK) == 0 ? 0 : (t.c_cflag & PARODD) != 0 ? 1 : 2;
    f.dataBits = (t.c_iflag & ISTRIP) != 0 ? 7 : 8;
    return f;
}

// A character sent at another speed or format than the receiver's: the
// receiver samples the sender's stop bits for data. Never a DLE, so that a
// garbled line carries no link sequence and no frame.
uint8_t Garbled(uint8_t b) { return static_cast<uint8_t>((b >> 1) | 0x80); }

// Moves bytes between fd and the simulator until stop, or until fd closes
// (returns false then). With own set, the controller hears the other end
// only while it keeps that format: otherwise every burst reaches it as
// broken characters, which it answers with DLE NAK, and all it sends
// arrives garbled, as on a cable whose two ends disagree.
bool Pump(int fd, sim::Simulator& simulator, const std::atomic<bool>& stop, const LineFormat* own) {
    constexpr uint8_t kDle = 0x10, kNak = 0x15;
    uint8_t buffer[512];
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2) > 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0 && (own == nullptr || FarEndFormat(fd) == *own)) {
                simulator.FromMaster(buffer, static_cast<size_t>(n));
            } else if (n > 0) {
                const uint8_t nak[2] = {Garbled(kDle), Garbled(kNak)};
                if (::write(fd, nak, sizeof nak) < 0 && errno != EAGAIN) return false;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO)) {
                return false;
            }
        }
        for (size_t n; (n = simulator.ToMaster(buffer, sizeof buffer)) > 0;) {
            if (own != nullptr && !(FarEndFormat(fd) == *own))
                for (size_t i = 0; i < n; ++i) buffer[i] = Garbled(buffer[i]);
            if (::write(fd, buffer, n) < 0 && errno != EAGAIN) return false;
        }
    }
    return true;
}

// The words of ITEM=VALUE operands (W3=5 or 3=5, offsets from the header),
// which must follow one another; false with the reason in *why.
bool UnsolicitedWords(const std::vector<std::string>& operands, uint32_t* first, std::vector<uint16_t>* words,
                      std::string* why) {
    std::map<uint32_t, uint16_t> byOffset;
    for (size_t k = 1; k < operands.size(); ++k) {
        const std::string& pair = operands[k];
        const size_t eq = pair.find('=');
        std::string item = pair.substr(0, eq);
        if (!item.empty() && (item[0] == 'W' || item[0] == 'w')) item.erase(0, 1);
        uint32_t offset = 0;
        if (!ParseUnsigned(item, 0, 119, &offset) || byOffset.count(offset) != 0) {
            *why = "an item W0 to W119, each once, got \"" + pair.substr(0, eq) + "\"";
            return false;
        }
        const std::string text = pair.substr(eq + 1);
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != 0 || value < -32768 || value > 32767) {
            *why = "a whole number from -32768 to 32767, as write takes, got \"" + text + "\"";
            return false;
        }
        byOffset[offset] = static_cast<uint16_t>(value);
    }
    *first = byOffset.begin()->first;
    for (const auto& [offset, value] : byOffset) {
        if (offset != *first + words->size()) {
            *why = "items that follow one another (W0 W1 W2)";
            return false;
        }
        words->push_back(value);
    }
    return true;
}

// What the link did, printed when the simulator ends. A write of its own the
// master answered with a status did not arrive: it is counted apart.
void PrintCounts(const sim::Stats& s) {
    std::printf(
        "counts: %u frames received (%u bad checks, %u garbled), %u commands executed (%u duplicates, %u for "
        "other stations), %u ACK and %u NAK sent, %u ENQ received; %u frames sent (%u retransmissions, %u "
        "abandoned), %u ENQ sent, %u ACK and %u NAK received; %u writes of its own sent, %u answered done, %u "
        "refused (%u with STS 0x90: the master could not buffer them)\n",
        s.framesReceived, s.badChecks, s.garbled, s.commands, s.duplicates, s.otherStation, s.acksSent, s.naksSent,
        s.enqsReceived, s.framesSent, s.retransmissions, s.abandoned, s.enqsSent, s.acksReceived, s.naksReceived,
        s.ownCommands, s.masterReplies, s.masterRefusals, s.cannotBuffer);
    std::fflush(stdout);
}

// Seeds the tables from the file; every bad line is reported with its cause.
bool SeedFrom(const std::string& path, sim::Simulator& simulator) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "mira sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<sim::SeedProblem> problems;
    (void)simulator.Seed(text.str(), &problems);
    for (const sim::SeedProblem& p : problems)
        std::fprintf(stderr, "mira sim: %s line %d: %s\n", path.c_str(), p.line, p.cause.c_str());
    return problems.empty();
}

// Writes the dump through the descriptor opened at the start, a file from
// its beginning; false with errno on failure.
bool WriteDump(int fd, const std::string& text) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (S_ISREG(st.st_mode) && (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)) return false;
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return !S_ISREG(st.st_mode) || ::fsync(fd) == 0;
}

// Serves fd or the TCP port until stop; returns the exit status.
int Serve(const Options& o, sim::Simulator& simulator, const sim::Options& options, const std::atomic<bool>& stop);

}  // namespace

int RunSim(const Options& o, const std::atomic<bool>& stop) {
    sim::Options options;
    options.family = FamilyOf(o);
    options.station = static_cast<uint8_t>(o.dst > 254 ? 1 : o.dst);
    options.crc = o.crc;
    sim::AddSampleFiles(&options);
    sim::Simulator simulator(options);
    (void)simulator.Seed(sim::SampleTables(options.family));
    if (!o.seed.empty() && !SeedFrom(o.seed, simulator)) return kExitUsage;
    if (o.unsolicitedMs != 0) {
        uint32_t first = 0;
        std::vector<uint16_t> words;
        std::string why;
        if (!UnsolicitedWords(o.operands, &first, &words, &why)) {
            std::fprintf(stderr, "mira sim: --unsolicited: expected %s\n", why.c_str());
            return kExitUsage;
        }
        // The write goes to our own station, as --station names it for the host.
        if (!simulator.SetPeriodicWrite(static_cast<uint8_t>(o.station), o.operands[0], first, words, o.unsolicitedMs)) {
            std::fprintf(stderr, "mira sim: --unsolicited: %s names no words of this %s controller%s\n",
                         o.operands[0].c_str(), FamilyName(options.family),
                         options.family == sim::Family::Slc500 ? "" : " (use U:n)");
            return kExitUsage;
        }
    }
    // The dump file is opened now, without emptying it, so that a path that
    // cannot be written is refused before anything is served rather than
    // found at exit with the tables lost.
    const int dump = o.dump.empty() ? -1 : ::open(o.dump.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (!o.dump.empty() && dump < 0) {
        std::fprintf(stderr, "mira sim: --dump %s: %s\n", o.dump.c_str(), std::strerror(errno));
        return kExitUsage;
    }
    const int rc = Serve(o, simulator, options, stop);
    PrintCounts(simulator.GetStats());
    if (dump >= 0) {
        const bool written = WriteDump(dump, simulator.Dump());
        const int cause = errno;
        if (::close(dump) != 0 || !written) {
            std::fprintf(stderr, "mira sim: cannot write the tables to %s: %s\n", o.dump.c_str(),
                         std::strerror(written ? errno : cause));
            return rc == kExitOk ? kExitComm : rc;
        }
    }
    return rc;
}

namespace {

int Serve(const Options& o, sim::Simulator& simulator, const sim::Options& options, const std::atomic<bool>& stop) {
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
        static const char* const kParity[] = {"none", "odd", "even"};
        std::printf("%s simulator, station %u, %s, %u baud, parity %s, %u data bits, on %s\n",
                    FamilyName(options.family), options.station, check, o.baud, kParity[o.parity % 3], o.dataBits,
                    slave.c_str());
        std::fflush(stdout);
        const LineFormat own{SpeedOf(o.baud), o.parity, o.dataBits};
        Pump(master, simulator, stop, &own);
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
        Pump(client, simulator, stop, nullptr);  // one master at a time, as on a cable
        ::close(client);
    }
    ::close(server);
    return kExitOk;
}

}  // namespace

#else

int RunSim(const Options&, const std::atomic<bool>&) {
    std::fprintf(stderr, "mira sim: the simulator is not built into this mira\n");
    return kExitComm;
}

#endif

}  // namespace mira::cli
