// Loading the plug-in the way a media-player host does: load libkojelly.so (kojelly.dll on
// Windows) as a shared library, take the handler table from korch_get, resolve the exports by
// name, install the host's transport with kojelly_set_io and run requests through the flat
// exports without an output buffer, reading the answer or the message from the calling
// thread's result and error slots. Nothing of the plug-in is linked in; only its public header
// is used.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kojelly.h"

namespace kojelly::cli {

// One request's outcome: the plug-in's status code and, copied out of the per-thread slots, the
// answer JSON on success or the (already scrubbed) message on failure.
struct Outcome {
    std::int32_t code = 0;
    std::string text;
    bool ok() const { return code == KOJELLY_OK; }
};

class Plugin {
public:
    // The plug-in at path, or null with the reason in error.
    static std::unique_ptr<Plugin> load(const std::string &path, std::string &error);
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    const std::string &path() const { return path_; }
    const kojelly_handler_table &table() const { return *table_; }
    std::string version() const;

    // Selects the io for every following request; it must outlive the selection (the
    // destructor selects none again). 0, or -6 when the io is not http-backed.
    std::int32_t set_io(const tessel_io *io);

    Outcome validate(const std::string &settings);
    Outcome list(const std::string &settings, const std::string &folder_id);
    Outcome stream_url(const std::string &settings, const std::string &entry);

    // text with URL credentials masked, by the plug-in's own rules.
    std::string redact(std::string_view text);

private:
    Plugin() = default;
    Outcome outcome(std::int32_t code) const;

    // The loaded library and its resolved functions; closing it ends them all.
    struct Exports;
    std::string path_;
    const kojelly_handler_table *table_ = nullptr;
    std::unique_ptr<Exports> fn_;
};

// The plug-in's file (libkojelly.so, kojelly.dll) in the folder of the running program.
std::string default_plugin_path();

}  // namespace kojelly::cli
