// The `demo` command where the demo server is not built (Windows): it says where to get one.
#include "demo_command.hpp"

namespace kojelly::cli {
namespace {

int unavailable(std::FILE *err) {
    std::fputs(
        "kojelly: the demo server is not part of this build; run `kojelly demo --serve` on "
        "Linux and point this tool at it with --server\n",
        err);
    return kExitTool;
}

}  // namespace

int run_demo(Plugin &, const TransportOptions &, DemoFlavour, int, std::FILE *, std::FILE *err) {
    return unavailable(err);
}

int serve_demo(const ServeOptions &, std::FILE *, std::FILE *err) {
    return unavailable(err);
}

}  // namespace kojelly::cli
