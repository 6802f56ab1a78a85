// Programs of ours as a user runs them, for every end-to-end test of a
// program: each started with its output read line by line, and ended by its
// process id; scratch files; bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"

namespace mira::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// What a step may take at most: each ends as soon as it is done. An open on
// a line costs four line resets (about 1.4 s); Portkit opens a lost line
// again after 1 s, then 2 s and 4 s; a sanitizer build on a loaded 2-core
// machine runs several times slower.
constexpr milliseconds kBound{30000};

// The text with each time stamp (2026-12-07T03:04:05.678) written as <time>.
inline std::string Untimed(const std::string& text) {
    return std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})"), "<time>");
}

// A program of ours (mira with these operands, or with asIs the program
// args[0]), its stdout and stderr read line by line through one pipe. Ended
// by its process id when the test is done with it.
class Child {
public:
    explicit Child(std::vector<std::string> args, bool asIs = false) {
        if (!asIs) args.insert(args.begin(), MIRA_CLI_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    // The next line not taken yet, without its line feed; false at the end
    // of the output or at `end`.
    bool Line(std::string* line, Clock::time_point end) {
        while (next_ == lines_.size()) {
            if (const size_t nl = buffer_.find('\n'); nl != std::string::npos) {
                lines_.push_back(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
            } else if (!Fill(end)) {
                return false;
            }
        }
        *line = lines_[next_++];
        return true;
    }
    // Takes lines until one matches; its match in *match. False at the end or the bound.
    bool Expect(const std::string& pattern, std::smatch* match = nullptr, milliseconds bound = kBound) {
        const std::regex re(pattern);
        const auto end = Clock::now() + bound;
        for (std::string line; Line(&line, end);) {
            if (!std::regex_search(line, re)) continue;
            if (match != nullptr) {
                kept_ = line;
                std::regex_search(kept_, *match, re);
            }
            return true;
        }
        return false;
    }
    // The whole output: what was taken and what is left, until the pipe
    // ends (the program has ended) or the bound.
    std::string Output(milliseconds bound = milliseconds(5000)) {
        const auto end = Clock::now() + bound;
        while (Fill(end)) {
        }
        std::string all;
        for (const std::string& l : lines_) all += l + "\n";
        return all + buffer_;
    }
    void Signal(int signal) const { ::kill(pid_, signal); }
    // The signal, then Wait.
    int Stop(int signal, milliseconds bound = kBound) {
        Signal(signal);
        return Wait(bound);
    }
    // The exit status (128 + the signal that ended it); -1 when it did not end within bound.
    int Wait(milliseconds bound = kBound) {
        const auto end = Clock::now() + bound;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > end) return -1;
            Fill(Clock::now() + milliseconds(5));
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

private:
    bool Fill(Clock::time_point end) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        pollfd p{out_, POLLIN, 0};
        if (out_ < 0 || left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int out_ = -1, status_ = -1;
    std::string buffer_, kept_;
    std::vector<std::string> lines_;
    size_t next_ = 0;
};

// A scratch file, removed with the test.
struct File {
    explicit File(const std::string& text = "") {
        char name[] = "/tmp/mira-test-XXXXXX";
        ::close(::mkstemp(name));
        path = name;
        Write(text);
    }
    ~File() { ::unlink(path.c_str()); }
    void Write(const std::string& text) const { std::ofstream(path) << text; }
    std::string Read() const { return {std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}}; }
    std::string path;
};

inline bool WaitFor(const std::function<bool()>& done, milliseconds bound = kBound) {
    const auto end = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

}  // namespace mira::test
