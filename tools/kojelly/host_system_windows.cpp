// The operating system's parts of the tool on Windows; see host_system.hpp.
// windows.h first, as every Windows file of the tool includes it.
#include "windows_text.hpp"
// The system headers below expect windows.h before them.
#include <sddl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host_system.hpp"
#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

// The longest path Windows knows, in UTF-16 units, with its terminating NUL.
constexpr DWORD kMaxPathUnits = 32768;

// The registry value name under key as text; empty when it is not there.
std::wstring registry_text(HKEY root, const wchar_t *key, const wchar_t *name) {
    HKEY opened = nullptr;
    // The 64-bit view: a 32-bit build of the tool must find the same value as a 64-bit one.
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return {};
    const Handle<HKEY__, RegCloseKey> owned(opened);
    DWORD bytes = 0;
    if (RegGetValueW(opened, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes < sizeof(wchar_t)) {
        return {};
    }
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(opened, nullptr, name, RRF_RT_REG_SZ, nullptr, value.data(), &bytes) !=
        ERROR_SUCCESS) {
        return {};
    }
    // RegGetValueW counts the terminating NUL.
    value.resize(wcsnlen(value.c_str(), bytes / sizeof(wchar_t)));
    return value;
}

std::string machine_id() {
    const std::wstring guid =
        registry_text(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid");
    if (!guid.empty()) return narrow(guid);
    std::vector<wchar_t> name(MAX_COMPUTERNAME_LENGTH + 1);
    auto size = static_cast<DWORD>(name.size());
    return GetComputerNameW(name.data(), &size) ? narrow({name.data(), size}) : std::string();
}

// The security identifier of the user the process runs as, e.g. "S-1-5-21-...-1001"; the
// user's name when it is not to be had. The SID stays when the account is renamed.
std::string user_id() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const Handle<void, CloseHandle> owned(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        // TOKEN_USER holds pointers into the same block, so it is read into aligned storage.
        std::vector<std::uint64_t> block((size + sizeof(std::uint64_t) - 1) /
                                         sizeof(std::uint64_t));
        wchar_t *sid_text = nullptr;
        if (size > 0 && GetTokenInformation(token, TokenUser, block.data(), size, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(block.data())->User.Sid,
                                   &sid_text)) {
            const Handle<wchar_t, free_local> text(sid_text);
            return narrow(text.get());
        }
    }
    std::vector<wchar_t> name(257);  // UNLEN + 1
    auto size = static_cast<DWORD>(name.size());
    return GetUserNameW(name.data(), &size) ? narrow(name.data()) : std::string();
}

}  // namespace

const char *const kPluginFileName = "kojelly.dll";

std::unique_ptr<SharedLibrary> SharedLibrary::open(const std::string &path, std::string &error) {
    std::wstring wide;
    if (!widen(path, wide) || wide.empty()) {
        error = path + ": not a UTF-8 path";
        return nullptr;
    }
    DWORD flags = 0;
    if (wide.find_first_of(L"\\/:") != std::wstring::npos) {
        // The library's own dependencies are looked for in its folder first, as a host that
        // keeps plug-ins in a folder of their own loads them; the altered search order takes a
        // full path.
        std::wstring full(kMaxPathUnits, L'\0');
        const DWORD n = GetFullPathNameW(wide.c_str(), kMaxPathUnits, full.data(), nullptr);
        if (n > 0 && n < kMaxPathUnits) {
            full.resize(n);
            wide = std::move(full);
            flags = LOAD_WITH_ALTERED_SEARCH_PATH;
        }
    }
    // No message box about a missing or broken dependency: the error text says it.
    DWORD old_mode = 0;
    const bool quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_mode) != 0;
    HMODULE handle = LoadLibraryExW(wide.c_str(), nullptr, flags);
    const DWORD code = GetLastError();
    if (quiet) SetThreadErrorMode(old_mode, nullptr);
    if (!handle) {
        error = path + ": " + system_message(code, "the file");
        return nullptr;
    }
    return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle));
}

SharedLibrary::~SharedLibrary() {
    FreeLibrary(static_cast<HMODULE>(handle_));
}

void *SharedLibrary::symbol(const char *name) const {
    const FARPROC address = GetProcAddress(static_cast<HMODULE>(handle_), name);
    // A function's address as a data pointer: the two have one size on Windows, and the caller
    // copies it back into the function pointer type it knows.
    static_assert(sizeof address == sizeof(void *));
    void *out = nullptr;
    std::memcpy(&out, &address, sizeof out);
    return out;
}

std::string executable_dir() {
    std::wstring exe(MAX_PATH, L'\0');
    while (true) {
        const DWORD size = static_cast<DWORD>(exe.size());
        const DWORD n = GetModuleFileNameW(nullptr, exe.data(), size);
        if (n == 0) return {};
        if (n < size) {
            exe.resize(n);
            break;
        }
        // Cut short: the whole path did not fit.
        if (size >= kMaxPathUnits) return {};
        exe.resize(std::min<DWORD>(size * 2, kMaxPathUnits));
    }
    const auto slash = exe.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string() : narrow(exe.substr(0, slash + 1));
}

std::string machine_and_user() {
    return machine_id() + ':' + user_id();
}

bool readable_by_others(const std::string &) {
    // Windows files have no mode bits to look at: access is the access control list's, and a
    // user's files (the profile with its settings folder) are private to the user by the
    // permissions that they inherit from the profile's folder.
    return false;
}

}  // namespace kojelly::cli
