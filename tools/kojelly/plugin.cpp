// The plug-in loader of the kojelly tool; see plugin.hpp.
#include "plugin.hpp"

#include <cstring>

#include "host_system.hpp"

namespace kojelly::cli {
namespace {

constexpr const char *kRuntimeType = "JELLYFIN";

template <typename F>
bool resolve(const SharedLibrary &library, const char *name, F &fn, std::string &missing) {
    void *sym = library.symbol(name);
    if (!sym) {
        if (!missing.empty()) missing += ", ";
        missing += name;
        return false;
    }
    std::memcpy(&fn, &sym, sizeof fn);
    return true;
}

}  // namespace

struct Plugin::Exports {
    std::unique_ptr<SharedLibrary> library;
    const kojelly_handler_table *(*korch_get)() = nullptr;
    const char *(*version)() = nullptr;
    const char *(*result_json)() = nullptr;
    const char *(*last_error)() = nullptr;
    std::int32_t (*set_io)(const tessel_io *) = nullptr;
    std::int32_t (*validate)(const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*list)(const char *, const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*stream_url)(const char *, const char *, char *, std::int32_t) = nullptr;
    const char *(*redact)(const char *) = nullptr;
};

std::unique_ptr<Plugin> Plugin::load(const std::string &path, std::string &error) {
    std::unique_ptr<Plugin> p(new Plugin());
    p->path_ = path;
    p->fn_ = std::make_unique<Exports>();
    Exports &f = *p->fn_;
    f.library = SharedLibrary::open(path, error);
    if (!f.library) {
        error = "cannot load the plug-in: " + error;
        return nullptr;
    }
    const SharedLibrary &lib = *f.library;
    std::string missing;
    resolve(lib, "korch_get", f.korch_get, missing);
    resolve(lib, "kojelly_version", f.version, missing);
    resolve(lib, "kojelly_result_json", f.result_json, missing);
    resolve(lib, "kojelly_last_error", f.last_error, missing);
    resolve(lib, "kojelly_set_io", f.set_io, missing);
    resolve(lib, "kojelly_validate", f.validate, missing);
    resolve(lib, "kojelly_list", f.list, missing);
    resolve(lib, "kojelly_stream_url", f.stream_url, missing);
    resolve(lib, "kojelly_redact", f.redact, missing);
    if (!missing.empty()) {
        error = path + " lacks the exports " + missing;
        return nullptr;
    }
    p->table_ = f.korch_get();
    if (!p->table_ || !p->table_->runtime_type ||
        std::strcmp(p->table_->runtime_type, kRuntimeType) != 0) {
        error = path + " is not a JELLYFIN plug-in";
        return nullptr;
    }
    return p;
}

Plugin::~Plugin() {
    // The plug-in keeps a pointer into the host's io; take it back before the io goes away.
    if (fn_ && fn_->set_io) fn_->set_io(nullptr);
}

std::string Plugin::version() const {
    return fn_->version();
}

std::int32_t Plugin::set_io(const tessel_io *io) {
    return fn_->set_io(io);
}

Outcome Plugin::outcome(std::int32_t code) const {
    // Without an output buffer the answer lives in the result slot and the message in the
    // error slot, both valid only until this thread's next request: copy them now.
    Outcome o;
    o.code = code;
    o.text = code == KOJELLY_OK ? fn_->result_json() : fn_->last_error();
    return o;
}

Outcome Plugin::validate(const std::string &settings) {
    return outcome(fn_->validate(settings.c_str(), nullptr, 0));
}

Outcome Plugin::list(const std::string &settings, const std::string &folder_id) {
    return outcome(fn_->list(settings.c_str(), folder_id.c_str(), nullptr, 0));
}

Outcome Plugin::stream_url(const std::string &settings, const std::string &entry) {
    return outcome(fn_->stream_url(settings.c_str(), entry.c_str(), nullptr, 0));
}

std::string Plugin::redact(std::string_view text) {
    const std::string copy(text);
    return fn_->redact(copy.c_str());
}

std::string default_plugin_path() {
    return executable_dir() + kPluginFileName;
}

}  // namespace kojelly::cli
