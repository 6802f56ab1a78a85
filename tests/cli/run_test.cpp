// The mira program as a user runs it: exit codes and messages.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Result { int status = -1; std::string out; };

Result RunMira(const std::string& args) {
    Result r;
    const std::string command = std::string(MIRA_CLI_PATH) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, pipe) != nullptr) r.out += buf;
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(MiraProgram, ExitCodesAndMessages) {
    const struct { const char* args; int status; const char* fragment; } rows[] = {
        {"--help", 0, "usage: mira"}, {"", 2, "no command"}, {"read", 2, "HEADER"},
        {"read N7:0 --trace /nonexistent-dir/t", 2, "trace"},
        {"read N7:0 --port /dev/mira-no-such-port", 4, "/dev/mira-no-such-port: No such file"},
        {"read N7:0 --port sim:plc9", 2, "plc9"},
        // A start the driver refuses is the request's fault, never the line's.
        {"read ZZ:0", 2, "error -"},
        // Values that do not fit their item, and texts the driver would
        // misread, are refused before the line opens.
        {"write N7:0 W0=70000", 2, "W0: expected a whole number from -32768 to 32767"},
        {"write N7:0 W1=-32769", 2, "-32768 to 32767"}, {"write N7:0 B0=10000", 2, "0 to 9999"},
        {"write F8:0 F0=1e39", 2, "single precision"},
        {"write-item ST9:0 S0.4 ABCDEFGHIJ", 2, "at most 4 characters"},
        {"write-item B3:0 0/3 2", 2, "0 or 1"}, {"write-item T4:0 0.DN 5", 2, "0 or 1"},
        {"read N7:0 ''", 2, "item \"\" is empty"},
        {"read N7:0 \"$(printf 'W\\001')\"", 2, "outside printable ASCII"},
        // Model and mode texts the driver would read as SLC 500 / Standard.
        {"read N7:0 --model FOO", 2, "--model: one of SLC500"},
        {"read N7:0 --mode FOO", 2, "--mode: Standard or Nonstandard"},
        {"read --port SIM:PLC5 N7:0 W0", 0, "100"},
        // A string read refused by a controller of another family.
        {"read --model plc5 ST9:0 S0.4", 5, "STS 0x10: illegal command or format; is --model right?"},
        // Which texts check changed, and which named nothing.
        {"check L19:0", 1, "N7:0       replaced by the default"},
        {"check Z9:0", 1, "replaced by the default"}, {"check INVALID:W3", 1, "replaced by the default"},
        {"check U:0 40", 1, "40    0          replaced by the default"},
        {"check n7:0 w5", 0, "w5    W5         canonical form"},
        {"check --address N7:F3", 1, "N7:W0      replaced by the default"},
        {"check --address T4:W0", 0, "T4:W0.DN   canonical form"},
        {"check --address I:1.", 1, "replaced by the default"},
        {"help addresses", 0, "127 words (W0 to W126 under one header), 62 floats"},
        {"read --help", 0, "HEADER [ITEM...]: N7:0 W0 W1"}, {"sim -h", 0, "--unsolicited"},
        {"help frob", 2, "no help on \"frob\""}, {"sim --unsolicited 1s X:0 W0=1", 2, "X:0 names no words"},
        {"sim --unsolicited 1s N7:0 W0=1 W2=3", 2, "follow one another"},
        {"sim --seed /nonexistent-dir/seed", 2, "cannot read"},
    };
    for (const auto& row : rows) {
        const Result r = RunMira(row.args);
        EXPECT_EQ(r.status, row.status) << row.args << "\n" << r.out;
        EXPECT_NE(r.out.find(row.fragment), std::string::npos) << row.args << "\n" << r.out;
    }
}

}  // namespace
