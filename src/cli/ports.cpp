// `mira ports`: the serial devices of this machine, by their stable names.
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "cli/commands.h"

namespace mira::cli {
namespace {

std::string Basename(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A USB adapter holds received bytes this many ms before passing them on;
// -1 when the device has no such setting.
int LatencyTimer(const std::string& tty) {
    std::ifstream in("/sys/class/tty/" + tty + "/device/latency_timer");
    int ms = -1;
    if (in >> ms) return ms;
    std::ifstream usb("/sys/bus/usb-serial/devices/" + tty + "/latency_timer");
    return usb >> ms ? ms : -1;
}

}  // namespace

int RunPorts(const Options&) {
    std::map<std::string, std::string> stable;  // device -> /dev/serial/by-id name
    if (DIR* dir = ::opendir("/dev/serial/by-id")) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            const std::string link = std::string("/dev/serial/by-id/") + e->d_name;
            char target[PATH_MAX];
            if (::realpath(link.c_str(), target) != nullptr) stable[target] = link;
        }
        ::closedir(dir);
    }
    std::map<std::string, bool> devices;
    if (DIR* dir = ::opendir("/sys/class/tty")) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            // Only terminals backed by hardware have a device link.
            if (::access(("/sys/class/tty/" + name + "/device").c_str(), F_OK) == 0) devices["/dev/" + name] = true;
        }
        ::closedir(dir);
    }
    for (const auto& [path, stableName] : stable) devices[path] = true;
    if (devices.empty()) {
        std::printf("no serial ports found\n");
        return kExitOk;
    }
    for (const auto& [path, unused] : devices) {
        const auto found = stable.find(path);
        std::printf("%-16s %s\n", path.c_str(), found != stable.end() ? found->second.c_str() : "");
        const int latency = LatencyTimer(Basename(path));
        if (latency > 2)
            std::printf("  warning: USB latency timer %d ms slows every exchange; set it to 1 with\n"
                        "  echo 1 > /sys/class/tty/%s/device/latency_timer\n",
                        latency, Basename(path).c_str());
    }
    return kExitOk;
}

}  // namespace mira::cli
