// The `demo` command: starts the demo server in this process and runs validate, ls, a paged
// listing, a tree walk and a probed stream against it through the plug-in and the tool's own
// transport, printing each step as a user would type and see it; or, with --serve, only runs
// the server until interrupted so that the other commands, and real players, can be tried
// against it. The Windows build has no demo server: there both say so (demo_unavailable.cpp).
#pragma once

#include <cstdio>
#include <string>

#include "cli_options.hpp"
#include "demo_library.hpp"
#include "http_transport.hpp"
#include "plugin.hpp"

namespace kojelly::cli {

// parallel_pages goes to the plug-in as ParallelPages with every step.
int run_demo(Plugin &plugin, const TransportOptions &transport, DemoFlavour flavour,
             int parallel_pages, std::FILE *out, std::FILE *err);

// What `demo --serve` runs.
struct ServeOptions {
    int port = 0;  // 0: a free port
    DemoFlavour flavour = DemoFlavour::jellyfin;
    std::string media;         // a real file that one more movie stands for (--media)
    bool stream_auth = false;  // streams want the token in the header (--stream-auth)
    // --api-key-env VAR, --password-env VAR: the API key the server accepts (empty: a random
    // one) and the demo user's password (empty: the default), with the variables' names, which
    // the banner shows instead of the values.
    std::string api_key;
    std::string api_key_env;
    std::string password;
    std::string password_env;
};
// With a media file or stream authentication, every stream request is also printed on out as
// it is answered.
int serve_demo(const ServeOptions &serve, std::FILE *out, std::FILE *err);

}  // namespace kojelly::cli
