// The command line's own output: tables by display width, escapes, and the
// serial ports it lists.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/output.h"
#include "cli/ports.h"

namespace mira::cli {
namespace {

namespace fs = std::filesystem;

// What print writes to a FILE.
template <class Print>
std::string Printed(Print print) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = ::open_memstream(&text, &size);
    print(out);
    std::fclose(out);
    std::string printed(text, size);
    std::free(text);
    return printed;
}

TEST(Output, DisplayWidthAndEscapes) {
    const struct { std::string text; size_t width; std::string shown; } rows[] = {
        {"W0", 2, "W0"}, {"caf\xC3\xA9", 4, "caf\xC3\xA9"},  // one column for a two-byte letter
        {"e\xCC\x81", 1, "e\xCC\x81"},                  // a combining accent takes none
        {"\xE6\xB8\xA9\xE5\xBA\xA6", 4, "\xE6\xB8\xA9\xE5\xBA\xA6"},  // wide characters take two
        {"a\tb\x01\x7F", 5, "a\\tb\\x01\\x7F"}, {"\xC2\x85", 1, "\\u0085"}, {"\xC3", 1, "\xC3"},  // last: cut short
        {"a\\tb", 4, "a\\\\tb"},  // a backslash typed reads apart from an escaped tab
    };
    for (const auto& [text, width, shown] : rows) {
        EXPECT_EQ(DisplayWidth(text), width) << text;
        EXPECT_EQ(Printable(text), shown) << text;
    }
    EXPECT_EQ(Printed([](FILE* out) { PrintTable({{"ITEM", "VALUE"}, {"caf\xC3\xA9", "1"}, {"W", ""}}, out); }),
              "ITEM  VALUE\ncaf\xC3\xA9  1\nW\n");
}

// Batch after batch (mira poll): one heading, columns never narrower than before; a failure as JSON.
TEST(Output, RowsUnderOneHeadingAndErrorsAsJson) {
    const auto row = [](const char* value) {
        Row r;
        r.item = "W0";
        r.value = value;
        r.quality = 192;
        r.time = "T";
        return r;
    };
    EXPECT_EQ(Printed([&](FILE* out) {
                  RowPrinter printer(false, out);
                  for (const char* value : {"-30000", "5"}) printer.Print({row(value)});
              }),
              "ITEM  VALUE   QUALITY  TIME\nW0    -30000  192      T\nW0    5       192      T\n");
    EXPECT_EQ(ErrorJson(4112, "cannot open \"x\""), R"({"error":{"code":4112,"message":"cannot open \"x\""}})");
}

// A machine's /sys and /dev under a temporary root: a USB adapter with a stable name and a latency
// timer of each row ("": none), an on-board port, and a virtual terminal that is no serial port.
TEST(Ports, StableNamesAndSlowAdaptersAndNothingFound) {
    char dir[] = "/tmp/mira-ports-XXXXXX";
    const fs::path root = ::mkdtemp(dir);
    auto listing = [&](bool json) { return Printed([&](FILE* out) { ListPorts(root.string(), out, json); }); };
    EXPECT_EQ(listing(false), "no serial ports found\n");
    for (const auto& [latency, warned] : {std::pair{"3", true}, {"2", false}, {"", false}, {"junk", false}}) {
        SCOPED_TRACE(latency);
        for (const char* d : {"sys/class/tty/ttyUSB0/device", "sys/class/tty/ttyS0/device",
                              "sys/class/tty/tty1", "dev/serial/by-id"})
            fs::create_directories(root / d);
        std::ofstream(root / "dev/ttyUSB0").put('\n');
        if (*latency != 0)
            std::ofstream(root / "sys/class/tty/ttyUSB0/device/latency_timer") << latency << "\n";
        fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-Adapter_A1-if00-port0");
        const std::string text = listing(false), json = listing(true);
        const std::string stable = "/dev/serial/by-id/usb-Adapter_A1-if00-port0";
        EXPECT_NE(text.find("/dev/ttyUSB0     " + stable + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("/dev/ttyS0\n"), std::string::npos) << "no blanks after a port without a stable name";
        const std::string ms = std::isdigit(static_cast<unsigned char>(latency[0])) ? latency : "null";
        const std::string usb = R"({"port":"/dev/ttyUSB0","stable":")" + stable + R"(","latency_ms":)" + ms + "}\n";
        EXPECT_NE(json.find(usb), std::string::npos) << json;
        EXPECT_NE(json.find(R"({"port":"/dev/ttyS0","stable":null,"latency_ms":null})"), std::string::npos) << json;
        EXPECT_EQ(text.find("tty1"), std::string::npos);  // no device behind it
        const std::string warning = "warning: USB latency timer " + std::string(latency) + " ms";
        EXPECT_EQ(text.find(warning) != std::string::npos, warned) << text;
        for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace mira::cli
