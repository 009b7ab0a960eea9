// The demo command of the kojelly tool; see demo_command.hpp.
#include "demo_command.hpp"

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "cli_options.hpp"
#include "commands.hpp"
#include "demo_server.hpp"
#include "json_writer.hpp"
#include "settings.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr std::size_t kDemoRows = 10;
constexpr int kTreeDepth = 2;
constexpr const char *kDemoUser = "demo";
constexpr const char *kDemoPassword = "demo";

void step(std::FILE *out, const std::string &command, const std::string &what) {
    std::fprintf(out, "\n$ kojelly %s\n# %s\n", command.c_str(), what.c_str());
}

std::string random_key() {
    std::random_device rd;
    std::uniform_int_distribution<std::uint64_t> any;
    const std::uint64_t hi = any(rd);
    return hex128(hi, any(rd));
}

}  // namespace

int run_demo(Plugin &plugin, const TransportOptions &transport, DemoFlavour flavour,
             int parallel_pages, std::FILE *out, std::FILE *err) {
    DemoOptions options;
    options.user = kDemoUser;
    options.password = kDemoPassword;
    options.flavour = flavour;
    DemoServer server(options);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(err, "kojelly: demo server: %s\n", error.c_str());
        return kExitTool;
    }
    // Everything goes to our own loopback server; a proxy from the environment must not.
    TransportOptions api = transport;
    api.bypass_proxy = true;
    api.follow_redirects = false;
    TransportOptions media = api;
    media.follow_redirects = true;
    HttpTransport api_transport(api);
    HttpTransport media_transport(media);
    if (plugin.set_io(api_transport.io()) != 0) {
        std::fprintf(err, "kojelly: the plug-in refused the transport\n");
        return kExitTool;
    }

    Session s;
    s.plugin = &plugin;
    s.media = media_transport.http();
    s.out = out;
    s.err = err;
    const JsonDocument settings;
    settings.root().str("FullUrl", server.url());
    settings.root().str("UserName", kDemoUser);
    settings.root().str("Password", kDemoPassword);
    settings.root().str("DeviceId", stable_device_id());
    settings.root().num("ParallelPages", parallel_pages);
    s.settings = settings.text();

    const DemoLibrary &lib = server.library();
    const kojelly_handler_table &t = plugin.table();
    std::fprintf(out, "kojelly demo\n");
    std::fprintf(out, "plug-in  %s (version %s, runtime %s, caps %d)\n", plugin.path().c_str(),
                 plugin.version().c_str(), t.runtime_type, static_cast<int>(t.caps));
    std::size_t series = 0;
    for (const std::size_t pos : lib.shows().children) series += lib.items()[pos].type == "Series";
    std::fprintf(out,
                 "server   %s (%s flavour), user \"%s\", a library of %zu movies, %zu series "
                 "and nested folders\n",
                 server.url().c_str(), flavour_name(flavour), kDemoUser,
                 lib.movies().children.size(), series);
    std::fprintf(out,
                 "each step runs as `kojelly --server %s --user %s --password-stdin STEP` "
                 "would\n",
                 server.url().c_str(), kDemoUser);

    // The demo server ignores SIGPIPE, so a reader that has gone (`kojelly demo | head`) does
    // not end the tool at its next write as it ends the other commands; each step finds it out
    // and ends the tool the same way, without running the steps nobody reads.
    int first_failure = kExitOk;
    const auto note = [&first_failure, out](int rc) {
        if (first_failure == kExitOk) first_failure = rc;
        if (std::fflush(out) != 0 && errno == EPIPE) end_by_signal(SIGPIPE);
    };

    step(out, "validate", "is it a Jellyfin or Emby server, and are the credentials accepted?");
    note(cmd_validate(s));

    step(out, "ls", "the root: the user's libraries");
    note(cmd_ls(s, ""));

    const std::string movies = lib.movies().id;
    const int pages_before = server.stats().item_pages;
    step(out, "ls " + movies,
         "the Movies library; the first " + std::to_string(kDemoRows) + " rows");
    note(cmd_ls(s, movies, kDemoRows));
    std::fprintf(out,
                 "(the plug-in fetched this listing in %d pages of at most 500, up to %d at "
                 "once)\n",
                 server.stats().item_pages - pages_before, parallel_pages);

    const std::string shows = lib.shows().id;
    step(out, "tree " + shows + " --depth " + std::to_string(kTreeDepth),
         "the Shows library, two levels deep");
    note(cmd_tree(s, shows, {.depth = kTreeDepth, .depth_given = true}));

    const std::string first_movie = lib.items()[lib.movies().children.front()].id;
    step(out, "stream " + first_movie + " --probe",
         "the first movie's stream URL, and its first 64 KiB fetched");
    note(cmd_stream(s, first_movie, true));

    const DemoStats st = server.stats();
    std::fprintf(out,
                 "\nThe demo server answered %d requests: %d login, %d root listing, %d folder "
                 "pages, %d lookups, %d playback info, %d stream.\n",
                 st.requests, st.logins, st.views + st.media_folders, st.item_pages, st.lookups,
                 st.playback, st.streams);
    std::fputs(first_failure == kExitOk ? "Every step succeeded.\n"
                                        : "A step failed; see the messages above.\n",
               out);
    plugin.set_io(nullptr);
    HttpTransport::close_thread_connections();
    return first_failure;
}

namespace {

// "stream: GET ID Range: bytes=0- -> 206 Content-Range: bytes 0-99/1000", one line.
std::string stream_line(const DemoStreamRequest &r) {
    std::string line = "stream: " + r.method + " " + r.item_id;
    if (!r.range.empty()) line += " Range: " + printable(r.range);
    line += " -> " + std::to_string(r.status);
    if (!r.content_range.empty()) line += " Content-Range: " + r.content_range;
    line += '\n';
    return line;
}

}  // namespace

int serve_demo(const ServeOptions &serve, std::FILE *out, std::FILE *err) {
    // The server's threads inherit this mask, so the signals wait for sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    DemoOptions options;
    options.user = kDemoUser;
    options.password = serve.password.empty() ? std::string(kDemoPassword) : serve.password;
    options.api_key = serve.api_key.empty() ? random_key() : serve.api_key;
    options.flavour = serve.flavour;
    options.media_file = serve.media;
    options.stream_auth = serve.stream_auth;
    if (!serve.media.empty() || serve.stream_auth) {
        options.on_stream = [out](const DemoStreamRequest &r) {
            std::fputs(stream_line(r).c_str(), out);
            std::fflush(out);
        };
    }
    DemoServer server(options);
    std::string error;
    if (!server.start(error, serve.port)) {
        std::fprintf(err, "kojelly: demo server: %s\n", error.c_str());
        return kExitTool;
    }
    const std::string url = server.url();
    const char *flavour = flavour_name(serve.flavour);
    // A secret the user chose is named by its variable, never printed; the demo's own are shown
    // so that they can be typed.
    const std::string password = serve.password_env.empty()
                                     ? "password \"" + options.password + "\""
                                     : "password from " + serve.password_env;
    const std::string api_key = serve.api_key_env.empty() ? "API key " + options.api_key
                                                          : "API key from " + serve.api_key_env;
    std::fprintf(out,
                 "demo server (%s flavour) listening on %s\n"
                 "  user \"%s\", %s, %s\n",
                 flavour, url.c_str(), kDemoUser, password.c_str(), api_key.c_str());
    const DemoItem *media = server.media_item();
    if (media) {
        std::fprintf(out, "media item: %s\n  %s, %s, %lld bytes, from %s\n", media->id.c_str(),
                     printable(media->name).c_str(),
                     media->container.empty() ? "-" : media->container.c_str(),
                     static_cast<long long>(media->size), printable(media->path).c_str());
    }
    if (serve.stream_auth) {
        std::fprintf(out,
                     "  streams want the token in the Authorization header; the URL's is "
                     "ignored\n");
    }
    std::fputs("try:\n", out);
    const std::string password_var = serve.password_env.empty() ? "KOJELLY_PASSWORD"
                                                                : serve.password_env;
    const std::string api_key_var = serve.api_key_env.empty() ? "KOJELLY_API_KEY"
                                                              : serve.api_key_env;
    if (serve.password_env.empty())
        std::fprintf(out, "  export KOJELLY_PASSWORD=%s\n", options.password.c_str());
    std::fprintf(out, "  kojelly --server %s --user %s --password-env %s ls\n", url.c_str(),
                 kDemoUser, password_var.c_str());
    if (serve.api_key_env.empty())
        std::fprintf(out, "  export KOJELLY_API_KEY=%s\n", options.api_key.c_str());
    std::fprintf(out, "  kojelly --server %s --api-key-env %s tree %s --depth 2\n", url.c_str(),
                 api_key_var.c_str(), server.library().shows().id.c_str());
    if (media) {
        std::fprintf(out, "  kojelly --server %s --api-key-env %s play %s\n", url.c_str(),
                     api_key_var.c_str(), media->id.c_str());
    }
    std::fputs("Ctrl-C stops it.\n", out);
    std::fflush(out);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.stop();
    std::fprintf(out, "demo server stopped after %d requests\n", server.stats().requests);
    return kExitOk;
}

}  // namespace kojelly::cli
