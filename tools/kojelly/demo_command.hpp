// The `demo` command: starts the demo server in this process and runs validate, ls, a paged
// listing, a tree walk and a probed stream against it through the plug-in and the tool's own
// transport, printing each step as a user would type and see it; or, with --serve, only runs
// the server until interrupted so that the other commands can be tried against it.
#pragma once

#include <cstdio>

#include "curl_transport.hpp"
#include "demo_library.hpp"
#include "plugin.hpp"

namespace kojelly::cli {

// parallel_pages goes to the plug-in as ParallelPages with every step.
int run_demo(Plugin &plugin, const CurlOptions &transport, DemoFlavour flavour, int parallel_pages,
             std::FILE *out, std::FILE *err);
int serve_demo(int port, DemoFlavour flavour, std::FILE *out, std::FILE *err);

}  // namespace kojelly::cli
