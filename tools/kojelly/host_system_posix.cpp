// The operating system's parts of the tool on POSIX systems; see host_system.hpp.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>

#include "host_system.hpp"

namespace kojelly::cli {

const char *const kPluginFileName = "libkojelly.so";

std::unique_ptr<SharedLibrary> SharedLibrary::open(const std::string &path, std::string &error) {
    // RTLD_LOCAL: the plug-in's symbols stay its own, as in a host that loads several plug-ins.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        error = why ? why : path;
        return nullptr;
    }
    return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle));
}

SharedLibrary::~SharedLibrary() {
    dlclose(handle_);
}

void *SharedLibrary::symbol(const char *name) const {
    return dlsym(handle_, name);
}

std::string executable_dir() {
    std::array<char, 4096> exe{};
    const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n <= 0) return {};
    const std::string path(exe.data(), static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string machine_and_user() {
    std::string seed;
    for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream in(path);
        if (in && std::getline(in, seed) && !seed.empty()) break;
        seed.clear();
    }
    if (seed.empty()) {
        std::array<char, 256> host{};
        if (gethostname(host.data(), host.size() - 1) == 0) seed = host.data();
    }
    return seed + ':' + std::to_string(getuid());
}

bool readable_by_others(const std::string &path) {
    constexpr mode_t kGroupOrOtherBits = 077;
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & kGroupOrOtherBits) != 0;
}

}  // namespace kojelly::cli
