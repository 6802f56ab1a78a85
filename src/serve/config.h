// The configuration of `mira serve`: a TOML file with [line], [[scan]],
// [[tag]] and one table per face. The loader reads every table, checks every
// address with the driver's own checks, and reports every problem of the
// file at once, each with file, line and column; an unknown key is a
// problem too. Nothing here opens the line.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/line.h"
#include "serve/config_table.h"
#include "serve/face.h"
#include "serve/tag.h"

namespace mira::serve {

// [line]: the line's settings under the command line's option names (with
// _ for -) and defaults, and turnaround, which only the planner uses.
struct LineConfig : host::LineSettings {
    uint32_t turnaroundMs = 5;  // how long the controller takes to answer
};

struct ScanClass {
    std::string name;
    uint32_t everyMs = 1000;
};

struct Config {
    std::string file;  // as given, for messages
    LineConfig line;
    std::vector<ScanClass> scans;  // at least one
    std::vector<TagInfo> tags;
    std::map<std::string, nlohmann::json> faces;  // each face's section, by name
};

// The driver's verdict on one address text of a tag.
struct ResolvedAddress {
    std::string problem;  // "" when the driver takes it; else why not
    std::string header, item;  // what reads and writes hand the driver
    int32_t driverType = 1;
    TagKind kind = TagKind::Word;
    int32_t chars = 0;
};

// Checks an address as a tag gives it: a whole address (N7:10) or a header
// and an item separated by blanks (N7:0 W10). The loader's default is the
// driver's checks under the configured model (DriverAddressCheck).
using AddressCheck = std::function<ResolvedAddress(const std::string& address)>;

// The driver's own checks, with the model of `line` applied first. Also
// refuses a model text the driver does not know (problem set for every
// address then) and a text whose canonical form drops characters typed.
AddressCheck DriverAddressCheck(const LineConfig& line);

// Why a tag or scan name is refused, or "" when it is fine: letters, digits
// and _ - . /, never an empty, "." or ".." part between slashes, so that a
// name is one path under /api/tags and one MQTT topic.
std::string TagNameProblem(const std::string& name);

// Reads a configuration. On problems returns nullopt with every message in
// *problems, one a line. `check` null: DriverAddressCheck of the file's [line].
std::optional<Config> ParseConfig(std::string_view text, const std::string& file, const std::vector<FaceKind>& faces,
                                  std::string* problems, AddressCheck check = nullptr);
std::optional<Config> LoadConfig(const std::string& path, const std::vector<FaceKind>& faces, std::string* problems);

// The commented example of `mira serve --example`: the core's tables, then
// each face's sample. It loads as it stands and serves the built-in
// simulator.
std::string ExampleConfig(const std::vector<FaceKind>& faces);

}  // namespace mira::serve
