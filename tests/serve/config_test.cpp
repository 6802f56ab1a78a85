// The loader: every problem of a file with its position and exact message,
// the example as it stands, and a face's table and tag keys plugged in.
#include <gtest/gtest.h>

#include "served.h"

namespace mira::serve {
namespace {

TEST(Config, BadFilesGiveEveryProblemWithItsPlace) {
    const struct {
        const char* name;
        const char* text;
        const char* problems;
    } kCases[] = {
        {"typo in a mnemonic", "[[tag]]\nname = \"tank/level\"\naddress = \"T4:0.XYZ\"\n",
         "mira.toml:3:11: tag \"tank/level\": address \"T4:0.XYZ\": names no valid address (the driver would read "
         "\"T4:0.DN\")\n"},
        {"canonical form drops a character", "[[tag]]\nname = \"a\"\naddress = \"N7:W5x\"\n",
         "mira.toml:3:11: tag \"a\": address \"N7:W5x\": likely a typo: the driver reads it as \"N7:W5\"\n"},
        {"a number no request carries", "[[tag]]\nname = \"a\"\naddress = \"N7:4294967297\"\n",
         "mira.toml:3:11: tag \"a\": address \"N7:4294967297\": refused by the driver: error -39: range too large\n"},
        {"header and item, typo in the item", "[[tag]]\nname = \"a\"\naddress = \"N7:0 W5x\"\n",
         "mira.toml:3:11: tag \"a\": address \"N7:0 W5x\": item \"W5x\": likely a typo: the driver reads it as "
         "\"W5\"\n"},
        {"header and item, bad item", "[[tag]]\nname = \"a\"\naddress = \"N7:0 X5\"\n",
         "mira.toml:3:11: tag \"a\": address \"N7:0 X5\": item \"X5\": names no valid address (the driver would read "
         "\"0\")\n"},
        {"three words", "[[tag]]\nname = \"a\"\naddress = \"N7:0 W1 W2\"\n",
         "mira.toml:3:11: tag \"a\": address \"N7:0 W1 W2\": expected a whole address (N7:10) or a header and an item "
         "(N7:0 W10)\n"},
        {"string longer than the controller's", "[[tag]]\nname = \"s\"\naddress = \"ST9:0.83\"\n",
         "mira.toml:3:11: tag \"s\": address \"ST9:0.83\": a string of 1 to 82 characters\n"},
        {"line options as the command line checks them",
         "[line]\nbaud = \"fast\"\nparity = \"x\"\ndst = 300\ncheck = \"crcx\"\nmodel = \"PLC9\"\nturnaround = \"1h\"\n",
         "mira.toml:2:8: line: baud \"fast\": a baud rate\n"
         "mira.toml:3:10: line: parity \"x\": none, odd or even\n"
         "mira.toml:4:7: line: dst 300: a station number 0 to 255\n"
         "mira.toml:5:9: line: check \"crcx\": \"crc\" or \"bcc\"\n"
         "mira.toml:6:9: line: model \"PLC9\": one of SLC500, 500, PLC5, 5, 5:0, 5:1, \"PLC5 WITH I/O OCTAL\", PLC2, 2 "
         "(any case)\n"
         "mira.toml:7:14: line: turnaround \"1h\": a time of 0 to 10 s, such as 5ms\n"},
        {"unknown keys and tables", "[line]\nbaudrate = 9600\n[mqqt]\n[[tag]]\nname = \"a\"\naddress = \"N7:0\"\ndeadbnd = 1\n",
         "mira.toml:2:1: line: unknown key \"baudrate\"\nmira.toml:3:2: unknown table \"mqqt\"\n"
         "mira.toml:7:1: tag \"a\": unknown key \"deadbnd\"\n"},
        {"names, scans and types",
         "[[scan]]\nname = \"fast\"\nevery = \"0\"\n[[scan]]\nname = \"fast\"\nevery = \"1s\"\n"
         "[[tag]]\nname = \"b/../c\"\naddress = \"N7:0\"\nscan = \"nope\"\nwritable = \"yes\"\n"
         "[[tag]]\nname = \"ok\"\naddress = \"N7:1\"\n[[tag]]\nname = \"ok\"\naddress = 7\nstation = 256\n[[tag]]\n",
         "mira.toml:3:9: scan \"fast\": every \"0\": a period such as \"250ms\" or \"1s\"\n"
         "mira.toml:5:8: scan \"fast\": name \"fast\": another [[scan]] has this name\n"
         "mira.toml:8:8: tag \"b/../c\": name \"b/../c\": no empty, \".\" or \"..\" part between slashes\n"
         "mira.toml:10:8: tag \"b/../c\": scan \"nope\": no [[scan]] has this name\n"
         "mira.toml:11:12: tag \"b/../c\": writable \"yes\": expected true or false\n"
         "mira.toml:16:8: tag \"ok\": name \"ok\": another [[tag]] has this name\n"
         "mira.toml:17:11: tag \"ok\": address 7: expected a text\n"
         "mira.toml:18:11: tag \"ok\": station 256: a station number 0 to 255\n"
         "mira.toml:19:1: tag: missing key \"name\"\nmira.toml:19:1: tag: missing key \"address\"\n"},
        {"shapes", "line = 5\nscan = 1\n[http]\nlisten = \"x\"\nwrite_token = \"a b\"\n",
         "mira.toml:1:1: line: expected a table [line]\nmira.toml:2:1: scan: expected [[scan]] tables\n"
         "mira.toml:4:10: http: listen \"x\": HOST:PORT, such as \"127.0.0.1:8080\" or \"[::1]:8080\"\n"
         "mira.toml:5:15: http: write_token \"a b\": a text of printable characters without blanks\n"},
        {"TOML syntax", "[line]\nbaud = 19200\nbaud = 9600\n", nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string problems = ProblemsOf(c.text);
        if (c.problems != nullptr)
            EXPECT_EQ(problems, c.problems);
        else
            EXPECT_EQ(problems.rfind("mira.toml:3:", 0), 0u) << problems;
    }
}

TEST(Config, ExampleLoadsAndResolvesAsTheDriverSplitsIt) {
    std::string problems;
    const auto config = ParseConfig(ExampleConfig(AllFaces()), "example", AllFaces(), &problems);
    ASSERT_TRUE(config) << problems;
    EXPECT_EQ(config->line.port, "sim");
    EXPECT_EQ(config->line.turnaroundMs, 5u);
    ASSERT_EQ(config->scans.size(), 2u);
    EXPECT_EQ(config->scans[0].everyMs, 250u);
    EXPECT_EQ(config->faces.at("http")["listen"], "127.0.0.1:8080");
    const struct {
        const char* name;
        const char* header;
        const char* item;
        TagKind kind;
        int32_t chars;
    } kTags[] = {
        {"tank/level", "N7:0", "W0", TagKind::Word, 0},     {"tank/limit", "N7:0", "W3", TagKind::Word, 0},
        {"pump/running", "B3:0", "W0/5", TagKind::Bit, 0},  {"flow", "F8:0", "F0", TagKind::Float, 0},
        {"mixer/elapsed", "T4:0", "W0.ACC", TagKind::Word, 0}, {"batch/recipe", "ST9:0", "S0.82", TagKind::String, 82},
    };
    for (const auto& t : kTags) {
        SCOPED_TRACE(t.name);
        const TagInfo* tag = nullptr;
        for (const TagInfo& candidate : config->tags)
            if (candidate.name == t.name) tag = &candidate;
        ASSERT_NE(tag, nullptr);
        EXPECT_EQ(tag->header, t.header);
        EXPECT_EQ(tag->item, t.item);
        EXPECT_EQ(tag->kind, t.kind);
        EXPECT_EQ(tag->chars, t.chars);
        EXPECT_EQ(tag->station, 1u);
    }
}

// Forms the driver reads as typed are taken (leading zeros, case, / for .);
// a form whose canonical text loses a typed character is not.
TEST(Config, AddressesAreTakenAsTheDriverReadsThem) {
    const struct {
        const char* address;
        const char* header;  // null: refused
        const char* item;
        int32_t chars;
    } kCases[] = {
        {"N7:05", "N7:0", "W5", 0},          {"t4:0/acc", "T4:0", "W0.ACC", 0}, {"ST9:0", "ST9:0", "S0.82", 82},
        {"ST9:0.10", "ST9:0", "S0.10", 10},  {"N7:10  w5", "N7:10", "W5", 0},   {"ST9:0 S1", "ST9:0", "S1.82", 82},
        {"I:1.0/3", "I:1.0", "W0/3", 0},     {"N7:1x0", nullptr, "", 0},        {" N7:W5 ", "N7:0", "W5", 0},
        {"B3:0/5/6", nullptr, "", 0},        {"N7:0 W1x", nullptr, "", 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.address);
        std::string problems;
        const auto config = ParseConfig(std::string("[[tag]]\nname = \"t\"\naddress = \"") + c.address + "\"\n",
                                        "mira.toml", AllFaces(), &problems);
        ASSERT_EQ(config.has_value(), c.header != nullptr) << problems;
        if (!config) continue;
        EXPECT_EQ(config->tags[0].header, c.header);
        EXPECT_EQ(config->tags[0].item, c.item);
        EXPECT_EQ(config->tags[0].chars, c.chars);
    }
}

// A face owns its table and its tag keys without the loader naming it.
TEST(Config, AFacePlugsInItsTableTagKeysAndChecks) {
    FaceKind face;
    face.section = "fake";
    face.sample = "[fake]\nlevel = 3\n";
    face.parseSection = [](ConfigTable& t) {
        nlohmann::json out = {{"level", 1}};
        if (const auto level = t.TakeInteger("level")) out["level"] = *level;
        return out;
    };
    face.tagKeys = {"register"};
    face.parseTagKey = [](const std::string& key, const ConfigValue& v, const TagInfo&, ConfigTable& t) {
        if (!v.value.is_number_integer()) t.Error(key, v, "a register number");
        return v.value;
    };
    face.checkAll = [](const Config& config, Problems& problems) {
        auto reg = [&](size_t i) { return config.tags[i].faces.value("fake", nlohmann::json::object()).value("register", -1); };
        for (size_t i = 1; i < config.tags.size(); ++i)
            if (reg(i) >= 0 && reg(i) == reg(0))
                problems.Add(config.tags[i].where.at("register"),
                             "tag " + Quoted(config.tags[i].name) + ": register taken by " + Quoted(config.tags[0].name));
    };
    std::vector<FaceKind> faces = AllFaces();
    faces.push_back(face);
    EXPECT_NE(ExampleConfig(faces).find("[fake]\nlevel = 3\n"), std::string::npos);
    EXPECT_EQ(ProblemsOf(ExampleConfig(faces), faces), "");

    const std::string text = "[fake]\nlevel = 2\ncolour = 1\n[[tag]]\nname = \"a\"\naddress = \"N7:0\"\nregister = 4\n"
                             "[[tag]]\nname = \"b\"\naddress = \"N7:1\"\nregister = 4\n[[tag]]\nname = \"c\"\n"
                             "address = \"N7:2\"\nregister = \"x\"\n";
    EXPECT_EQ(ProblemsOf(text, faces), "mira.toml:3:1: fake: unknown key \"colour\"\n"
                                     "mira.toml:11:12: tag \"b\": register taken by \"a\"\n"
                                     "mira.toml:15:12: tag \"c\": register \"x\": a register number\n");
    std::string problems;
    const auto config = ParseConfig("[fake]\nlevel = 2\n[[tag]]\nname = \"a\"\naddress = \"N7:0\"\nregister = 4\n",
                                    "mira.toml", faces, &problems);
    ASSERT_TRUE(config) << problems;
    EXPECT_EQ(config->faces.at("fake")["level"], 2);
    EXPECT_EQ(config->tags[0].faces["fake"]["register"], 4);
}

}  // namespace
}  // namespace mira::serve
