#include "serve/serve.h"

#include <cstdio>

#include "serve/config.h"
#include "serve/faces.h"
#include "serve/planner.h"

namespace mira::serve {

int Run(const Invocation& invocation) {
    const std::vector<FaceSpec> faces = AllFaces();
    if (invocation.example) {
        std::fputs(ExampleConfig(faces).c_str(), stdout);
        return 0;
    }
    std::string problems;
    const std::optional<Config> config = LoadConfig(invocation.config, faces, &problems);
    if (!config) {
        std::fputs(problems.c_str(), stderr);
        return 2;
    }
    if (invocation.plan) {
        std::fputs(PlanText(*config, MakePlan(*config)).c_str(), stdout);
        return 0;
    }
    // The line thread and the faces' servers come next; until then the
    // configuration is checked and the gateway says it stops there.
    std::fprintf(stderr, "mira serve: %s: %zu tags in %zu scan classes, all good; this build checks and plans them "
                         "but does not serve them yet\n",
                 invocation.config.c_str(), config->tags.size(), config->scans.size());
    return 0;
}

}  // namespace mira::serve
