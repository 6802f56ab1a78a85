// mira serve: the gateway, from the library of src/serve.
#include "cli/commands.h"
#include "serve/serve.h"

namespace mira::cli {

int RunServe(const Options& options) {
    serve::Invocation invocation;
    invocation.config = options.operands.empty() ? "" : options.operands[0];
    invocation.example = options.example;
    invocation.plan = options.plan;
    invocation.verbose = options.verbose;
    invocation.quiet = options.quiet;
    return serve::Run(invocation);
}

}  // namespace mira::cli
