// The mira program as a user runs it: exit codes and messages.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Result {
    int status = -1;
    std::string out;
};

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
    const struct {
        const char* args;
        int status;
        const char* fragment;
    } rows[] = {
        {"--help", 0, "usage: mira"},
        {"", 2, "no command"},
        {"read", 2, "HEADER"},
        {"read N7:0 --trace /nonexistent-dir/t", 2, "trace"},
        {"read N7:0 --port /dev/mira-no-such-port", 4, "/dev/mira-no-such-port: No such file"},
        {"read N7:0 --port sim:plc9", 2, "plc9"},
        // A start the driver refuses is the request's fault, never the line's.
        {"read ZZ:0", 2, "error -"},
    };
    for (const auto& row : rows) {
        const Result r = RunMira(row.args);
        EXPECT_EQ(r.status, row.status) << row.args << "\n" << r.out;
        EXPECT_NE(r.out.find(row.fragment), std::string::npos) << row.args << "\n" << r.out;
    }
}

}  // namespace
