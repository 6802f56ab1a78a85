#include "cli/ports.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace mira::cli {
namespace {

namespace fs = std::filesystem;

// A machine's /sys and /dev in a temporary folder: a USB adapter with a
// stable name and the given latency timer, an on-board port, and a virtual
// terminal that is no serial port.
class FakeMachine {
public:
    explicit FakeMachine(const std::string& latency) {
        char dir[] = "/tmp/mira-ports-XXXXXX";
        root_ = ::mkdtemp(dir);
        fs::create_directories(root_ / "sys/class/tty/ttyUSB0/device");
        fs::create_directories(root_ / "sys/class/tty/ttyS0/device");
        fs::create_directories(root_ / "sys/class/tty/tty1");
        fs::create_directories(root_ / "dev/serial/by-id");
        std::ofstream(root_ / "dev/ttyUSB0").put('\n');
        if (!latency.empty()) std::ofstream(root_ / "sys/class/tty/ttyUSB0/device/latency_timer") << latency << "\n";
        fs::create_symlink("../../ttyUSB0", root_ / "dev/serial/by-id/usb-Adapter_A1-if00-port0");
    }
    ~FakeMachine() { fs::remove_all(root_); }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
};

std::string Listing(const std::string& root, bool json = false) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = ::open_memstream(&text, &size);
    ListPorts(root, out, json);
    std::fclose(out);
    std::string listing(text, size);
    std::free(text);
    return listing;
}

TEST(Ports, StableNamesAndSlowAdapters) {
    const struct {
        const char* latency;  // "" : the adapter has no latency timer
        bool warned;
    } rows[] = {{"16", true}, {"3", true}, {"2", false}, {"1", false}, {"", false}, {"junk", false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.latency);
        FakeMachine machine(r.latency);
        const std::string listing = Listing(machine.root());
        EXPECT_NE(listing.find("/dev/ttyUSB0     /dev/serial/by-id/usb-Adapter_A1-if00-port0\n"), std::string::npos)
            << listing;
        EXPECT_NE(listing.find("/dev/ttyS0\n"), std::string::npos) << "no blanks after a port without a stable name";
        const std::string json = Listing(machine.root(), true);
        const std::string latency = std::isdigit(static_cast<unsigned char>(r.latency[0])) ? r.latency : "null";
        EXPECT_NE(json.find(R"({"port":"/dev/ttyUSB0","stable":"/dev/serial/by-id/usb-Adapter_A1-if00-port0",)"
                            R"("latency_ms":)" + latency + "}\n"),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find(R"({"port":"/dev/ttyS0","stable":null,"latency_ms":null})"), std::string::npos) << json;
        EXPECT_EQ(listing.find("tty1"), std::string::npos);  // no device behind it
        EXPECT_EQ(listing.find("warning: USB latency timer " + std::string(r.latency) + " ms") != std::string::npos,
                  r.warned)
            << listing;
    }
}

TEST(Ports, NothingFound) {
    char dir[] = "/tmp/mira-ports-XXXXXX";
    const std::string root = ::mkdtemp(dir);
    EXPECT_EQ(Listing(root), "no serial ports found\n");
    ::rmdir(root.c_str());
}

}  // namespace
}  // namespace mira::cli
