// What the tool needs of the operating system besides the console, the transport and the
// player: loading the plug-in as a shared library, the folder the tool runs from, what
// identifies this machine and user, and who may read a file. host_system_posix.cpp and
// host_system_windows.cpp implement it.
#pragma once

#include <memory>
#include <string>

namespace kojelly::cli {

// The plug-in's file name: "libkojelly.so", or "kojelly.dll" on Windows.
extern const char *const kPluginFileName;

// A loaded shared library; unloaded with this object.
class SharedLibrary {
public:
    // The library at path (UTF-8), its own dependencies resolved as when a host loads it; null
    // with the system's reason in error.
    static std::unique_ptr<SharedLibrary> open(const std::string &path, std::string &error);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary &) = delete;
    SharedLibrary &operator=(const SharedLibrary &) = delete;

    // The address of an exported function or object; null when there is none.
    void *symbol(const char *name) const;

private:
    explicit SharedLibrary(void *handle) : handle_(handle) {}
    void *handle_;
};

// The folder of the running program with a separator at its end; empty when unknown.
std::string executable_dir();

// A text that identifies this machine and the user running the tool, and stays the same across
// runs: the machine's id (or its host name) and the user's id. Secret-free; it is hashed into
// the tool's DeviceId.
std::string machine_and_user();

// Whether other users than the owner may read the file at path. Always false on Windows, where
// a user's files are private by their folder's permissions and a mode is not the way to ask.
bool readable_by_others(const std::string &path);

}  // namespace kojelly::cli
