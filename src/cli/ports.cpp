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
#include "host/text.h"
#include "cli/ports.h"

namespace mira::cli {

using host::JsonString;

namespace {

std::string Basename(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A USB adapter holds received bytes this many ms before passing them on;
// -1 when the device has no such setting.
int LatencyTimer(const std::string& root, const std::string& tty) {
    std::ifstream in(root + "/sys/class/tty/" + tty + "/device/latency_timer");
    int ms = -1;
    if (in >> ms) return ms;
    std::ifstream usb(root + "/sys/bus/usb-serial/devices/" + tty + "/latency_timer");
    return usb >> ms ? ms : -1;
}

}  // namespace

void ListPorts(const std::string& root, FILE* out, bool json) {
    std::map<std::string, std::string> stable;  // device -> /dev/serial/by-id name
    // Links resolve to real paths: compare them with the root's own.
    std::string realRoot;
    if (!root.empty()) {
        char resolved[PATH_MAX];
        realRoot = ::realpath(root.c_str(), resolved) != nullptr ? resolved : root;
    }
    const std::string byId = root + "/dev/serial/by-id";
    if (DIR* dir = ::opendir(byId.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            const std::string link = byId + "/" + e->d_name;
            char target[PATH_MAX];
            if (::realpath(link.c_str(), target) == nullptr) continue;
            const std::string device = target;
            if (device.rfind(realRoot, 0) == 0) stable[device.substr(realRoot.size())] = link.substr(root.size());
        }
        ::closedir(dir);
    }
    std::map<std::string, bool> devices;
    const std::string ttys = root + "/sys/class/tty";
    if (DIR* dir = ::opendir(ttys.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            // Only terminals backed by hardware have a device link.
            if (name[0] != '.' && ::access((ttys + "/" + name + "/device").c_str(), F_OK) == 0)
                devices["/dev/" + name] = true;
        }
        ::closedir(dir);
    }
    for (const auto& [path, stableName] : stable) devices[path] = true;
    if (devices.empty()) {
        if (!json) std::fprintf(out, "no serial ports found\n");
        return;
    }
    for (const auto& [path, unused] : devices) {
        const auto found = stable.find(path);
        const int latency = LatencyTimer(root, Basename(path));
        if (json) {
            std::fprintf(out, "{\"port\":%s,\"stable\":%s,\"latency_ms\":%s}\n", JsonString(path).c_str(),
                         found != stable.end() ? JsonString(found->second).c_str() : "null",
                         latency >= 0 ? std::to_string(latency).c_str() : "null");
            continue;
        }
        if (found != stable.end()) {
            std::fprintf(out, "%-16s %s\n", path.c_str(), found->second.c_str());
        } else {
            std::fprintf(out, "%s\n", path.c_str());
        }
        if (latency > 2)
            std::fprintf(out,
                         "  warning: USB latency timer %d ms slows every exchange; set it to 1 with\n"
                         "  echo 1 > /sys/class/tty/%s/device/latency_timer\n",
                         latency, Basename(path).c_str());
    }
}

int RunPorts(const Options& o) {
    ListPorts("", stdout, o.json);
    return kExitOk;
}

}  // namespace mira::cli
