// kojelly: a reference host for the kojelly plug-in. It loads libkojelly.so (kojelly.dll) as a
// media player does, supplies a transport on the system's HTTP stack, and offers validate, ls,
// tree, stream, play (a media player on a stream) and a demo against a built-in server (not in
// the Windows build). See `kojelly --help`.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_options.hpp"
#include "commands.hpp"
#include "demo_command.hpp"
#include "hints.hpp"
#include "http_transport.hpp"
#include "kojelly_version.hpp"
#include "play_command.hpp"
#include "plugin.hpp"
#include "settings.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace {

using namespace kojelly::cli;

constexpr const char *kToolVersion = KOJELLY_VERSION_STRING;
constexpr long kMillisPerSecond = 1000;
constexpr long kConnectTimeoutMs = 10000;

int usage_error(const std::string &message) {
    std::fprintf(stderr, "kojelly: %s\n(kojelly --help shows the usage)\n", message.c_str());
    return kExitUsage;
}

TransportOptions transport_options(const Options &o, Plugin &plugin) {
    TransportOptions c;
    c.insecure = o.insecure;
    c.timeout_ms = o.timeout_s * kMillisPerSecond;
    c.connect_timeout_ms = std::min(kConnectTimeoutMs, c.timeout_ms);
    if (o.verbose) {
        c.trace = [&plugin](const TransportTrace &t) {
            const std::string url = printable(plugin.redact(t.url));
            if (t.error.empty()) {
                std::fprintf(stderr, "> %.*s %s -> HTTP %d, %llu bytes, %.0f ms\n",
                             static_cast<int>(t.method.size()), t.method.data(), url.c_str(),
                             t.status, static_cast<unsigned long long>(t.bytes), t.millis);
            } else {
                std::fprintf(stderr, "> %.*s %s -> failed after %.0f ms: %s\n",
                             static_cast<int>(t.method.size()), t.method.data(), url.c_str(),
                             t.millis, printable(t.error).c_str());
            }
        };
    }
    return c;
}

// demo --serve; the secrets it accepts come from the variables that the options name.
int serve(const Options &o) {
    ServeOptions serve;
    serve.port = o.port;
    serve.flavour = o.flavour;
    serve.media = o.media;
    serve.stream_auth = o.stream_auth;
    std::string error;
    serve.api_key_env = o.settings.api_key_env;
    if (!serve.api_key_env.empty() &&
        !secret_from_env("--api-key-env", serve.api_key_env, serve.api_key, error))
        return usage_error(error);
    serve.password_env = o.settings.password_env;
    if (!serve.password_env.empty() &&
        !secret_from_env("--password-env", serve.password_env, serve.password, error))
        return usage_error(error);
    return serve_demo(serve, stdout, stderr);
}

// After a failed command, a line on what the failure most likely means for the address given.
void print_hint(const Options &o, const Session &s, const HttpTransport &api, int rc) {
    const std::optional<TypedAddress> address =
        typed_address(s.settings, o.settings.server.has_value());
    if (!address) return;
    const std::string hint = hint_for(*address, api.record(), rc);
    if (!hint.empty()) std::fprintf(stderr, "kojelly: hint: %s\n", printable(hint).c_str());
}

TreeBounds tree_bounds(const Options &o) {
    TreeBounds bounds;
    bounds.max_entries = static_cast<std::size_t>(o.max_entries);
    if (o.depth > 0) {
        bounds.depth = o.depth;
        bounds.depth_given = true;
    }
    return bounds;
}

// A command that talks to the server, once the session has its settings and transport.
int run_command(const Options &o, Session &s) {
    const std::string first = o.args.empty() ? "" : o.args.front();
    switch (o.command) {
        case Command::validate:
            return cmd_validate(s);
        case Command::ls:
            return cmd_ls(s, first);
        case Command::tree:
            return cmd_tree(s, first, tree_bounds(o));
        case Command::stream:
            return cmd_stream(s, first, o.probe);
        case Command::play:
            return cmd_play(s, first,
                            {.player = o.player, .args = o.player_args, .print = o.print});
        case Command::demo:  // runs before a session is set up
        case Command::none:  // only --version, answered before
            break;
    }
    return kExitOk;
}

int run(const Options &o) {
    if (o.command == Command::demo && o.serve) return serve(o);

    std::string error;
    if (!HttpTransport::global_init(error)) {
        std::fprintf(stderr, "kojelly: %s\n", error.c_str());
        return kExitTool;
    }
    const std::string path = o.plugin.empty() ? default_plugin_path() : o.plugin;
    std::unique_ptr<Plugin> plugin = Plugin::load(path, error);
    if (o.version) std::printf("kojelly %s\n", kToolVersion);
    if (!plugin) {
        std::fprintf(stderr, "kojelly: %s\n", error.c_str());
        return kExitTool;
    }
    if (o.version) {
        std::printf("plug-in %s %s (%s, caps %d)\n", plugin->path().c_str(),
                    plugin->version().c_str(), plugin->table().runtime_type,
                    static_cast<int>(plugin->table().caps));
        return kExitOk;
    }

    if (o.insecure) {
        std::fputs(
            "kojelly: warning: --insecure: the server's TLS certificate is not checked, so "
            "anyone on the way to it can read the credentials\n",
            stderr);
    }
    const TransportOptions api = transport_options(o, *plugin);
    if (o.command == Command::demo) {
        return run_demo(*plugin, api, o.flavour,
                        o.settings.parallel_pages.value_or(kDefaultParallelPages), stdout, stderr);
    }

    Session s;
    s.plugin = plugin.get();
    SettingsInput settings = o.settings;
    settings.server_needed = true;
    switch (build_settings(settings, s.settings, error)) {
        case SettingsStatus::ok:
            break;
        case SettingsStatus::bad_input:
            return usage_error(error);
        case SettingsStatus::bad_file:
            std::fprintf(stderr, "kojelly: %s\n", error.c_str());
            return kExitTool;
    }
    TransportOptions media = api;
    media.follow_redirects = true;
    HttpTransport api_transport(api);
    HttpTransport media_transport(media);
    if (plugin->set_io(api_transport.io()) != 0) {
        std::fprintf(stderr, "kojelly: the plug-in refused the transport\n");
        return kExitTool;
    }
    s.media = media_transport.http();
    s.json = o.json;
    s.progress = !o.json && stderr_is_terminal();

    const int rc = run_command(o, s);
    // The transports die with this scope; the plug-in must not keep pointing at them.
    plugin->set_io(nullptr);
    if (rc != kExitOk) print_hint(o, s, api_transport, rc);
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    prepare_console();
    std::vector<std::string> args = utf8_arguments(argc, argv);
    std::vector<const char *> arg_pointers;
    for (const std::string &arg : args) arg_pointers.push_back(arg.c_str());
    arg_pointers.push_back(nullptr);
    Options o;
    std::string error;
    if (!parse_args(static_cast<int>(args.size()), arg_pointers.data(), o, error))
        return usage_error(error);
    if (o.help) {
        std::fputs(help_text(o.command).c_str(), stdout);
        return kExitOk;
    }
    const int rc = run(o);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return kExitTool;
    return rc;
}
