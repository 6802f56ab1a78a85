#include "serve/serve.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>

#include "host/line_watch.h"
#include "mira/portkit_codes.h"
#include "serve/config.h"
#include "serve/faces.h"
#include "serve/line_thread.h"
#include "serve/log.h"
#include "serve/planner.h"

namespace mira::serve {
namespace {

// The faces that were started, stopped in the reverse order.
void StopAll(std::vector<std::unique_ptr<FaceRunner>>* runners) {
    while (!runners->empty()) {
        runners->back()->Stop();
        runners->pop_back();
    }
}

int Serve(const std::string& path, const std::vector<FaceKind>& faces, const Config& config) {
    // The signals are taken by this thread alone, one at a time: blocked
    // here before any thread starts, so every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &signals, &before);
    // A client that goes away mid-answer must not end the process.
    signal(SIGPIPE, SIG_IGN);
    // Failures are explained by what the line showed, as mira explains them.
    host::WatchLine("");

    std::vector<std::string> scanNames;
    for (const ScanClass& s : config.scans) scanNames.push_back(s.name);
    TagStore store(config.tags, scanNames);
    int status = 0;
    std::vector<std::unique_ptr<FaceRunner>> runners;
    for (const FaceKind& kind : faces) {
        if (!kind.create) continue;
        const auto settings = config.faces.find(kind.section);
        const nlohmann::json none = nlohmann::json::object();
        std::unique_ptr<Face> face = kind.create({config, settings != config.faces.end() ? settings->second : none, store});
        if (!face) continue;
        auto runner = std::make_unique<FaceRunner>(std::move(face), store);
        std::string why;
        if (!runner->Start(&why)) {
            Log(LogLevel::Error, why);
            status = 4;
            break;
        }
        runners.push_back(std::move(runner));
    }
    LineThread line(store, config,
                    [path, &faces](std::string* problems) { return LoadConfig(path, faces, problems); });
    if (status == 0) {
        std::string why;
        const int32_t code = line.Start(&why);
        if (code != 0) {
            Log(LogLevel::Error, why);
            status = code == MIRA_PK_ERR_SETTINGS ? 2 : 4;
        }
    }
    while (status == 0) {
        int taken = 0;
        if (sigwait(&signals, &taken) != 0) continue;
        if (taken != SIGHUP) {
            Log(LogLevel::Info, taken == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
            break;
        }
        Log(LogLevel::Info, "SIGHUP: reading " + path + " again");
        line.Reload();
    }
    // Nothing waits on the line thread any more, then the faces end, then
    // the line closes.
    store.Stop();
    StopAll(&runners);
    line.Stop();
    host::StopWatching();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return status;
}

}  // namespace

int Run(const Invocation& invocation) {
    const std::vector<FaceKind> faces = AllFaces();
    if (invocation.example) {
        std::fputs(ExampleConfig(faces).c_str(), stdout);
        return 0;
    }
    LogSettings log = DefaultLogSettings();
    log.most = invocation.quiet ? LogLevel::Warning : invocation.verbose ? LogLevel::Debug : LogLevel::Info;
    SetLogSettings(log);
    std::string problems;
    const std::optional<Config> config = LoadConfig(invocation.config, faces, &problems);
    if (!config) {
        std::fputs(problems.c_str(), stderr);
        return 2;
    }
    if (invocation.plan) {
        std::fputs(PlanText(*config, MakePlan(*config)).c_str(), stdout);
        for (const FaceKind& face : faces)
            if (face.planText) std::fputs(face.planText(*config).c_str(), stdout);
        return 0;
    }
    return Serve(invocation.config, faces, *config);
}

}  // namespace mira::serve
