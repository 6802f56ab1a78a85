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
    std::fprintf(stderr, "mira serve: %s: %zu tags in %zu scan classes; this build checks and plans them, "
                         "it does not serve them yet\n",
                 invocation.config.c_str(), config->tags.size(), config->scans.size());
    return 1;
}

}  // namespace mira::serve
