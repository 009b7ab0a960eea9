// Running a player on Windows; see player_process.hpp. The player is started directly from its
// program file, never through cmd.exe: the stream's URL and title are on its command line, and
// cmd.exe would give '&', '|', '%' and '^' in them a meaning of their own.
#define _CRT_RAND_S  // rand_s, before anything includes stdlib.h
// windows.h first, as every Windows file of the tool includes it.
#include "windows_text.hpp"
// The system headers below expect windows.h before them.
#include <sddl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "owned.hpp"
#include "player_process.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

// The longest path Windows knows, in UTF-16 units, with its terminating NUL.
constexpr DWORD kMaxPathUnits = 32768;
// Random names tried for one private file before giving up; a clash is already unlikely once.
constexpr int kNameAttempts = 8;

void free_environment(wchar_t *block) noexcept {
    FreeEnvironmentStringsW(block);
}

bool same_name(std::wstring_view a, std::wstring_view b) {
    return a.size() <= INT_MAX && b.size() <= INT_MAX &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The extension of a path's last part, dot included; empty when it has none. Trailing dots and
// spaces do not count, since Windows drops them when it opens the file.
std::wstring_view extension(std::wstring_view path) {
    if (const auto sep = path.find_last_of(L"\\/:"); sep != std::wstring_view::npos)
        path.remove_prefix(sep + 1);
    while (!path.empty() && (path.back() == L'.' || path.back() == L' ')) path.remove_suffix(1);
    const auto dot = path.rfind(L'.');
    return dot == std::wstring_view::npos ? std::wstring_view() : path.substr(dot);
}

// A program that CreateProcess runs by itself: a regular file holding a program image. A batch
// file (.bat, .cmd) never is one, although CreateProcess accepts it: it hands it to cmd.exe,
// which parses the whole command line again by its own rules, so that a '&' in the stream's URL
// would start a command. A script without an extension (as MSYS2 and Cygwin put on PATH) is no
// image either.
bool program_file(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    const std::wstring_view ext = extension(path);
    if (same_name(ext, L".bat") || same_name(ext, L".cmd")) return false;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const Handle<void, CloseHandle> owned(file);
    std::array<char, 2> magic{};
    DWORD got = 0;
    return ReadFile(file, magic.data(), static_cast<DWORD>(magic.size()), &got, nullptr) &&
           got == magic.size() && magic[0] == 'M' && magic[1] == 'Z';
}

// The first program among the names that base may stand for. A name without an extension is
// tried with ".exe" and ".com" first, as Windows runs it; the bare name only after those, since
// what has no extension is rarely a program on Windows.
std::wstring first_program(const std::wstring &base) {
    if (extension(base).empty()) {
        for (const wchar_t *ext : {L".exe", L".com"}) {
            if (std::wstring candidate = base + ext; program_file(candidate)) return candidate;
        }
    }
    return program_file(base) ? base : std::wstring();
}

// Appends arg to a command line so that the C runtime's split of the command line into argv
// (and CommandLineToArgvW, which splits the same way) gives it back unchanged: inside quotes,
// backslashes are literal unless a quote follows them, where 2n backslashes stand for n and
// 2n + 1 for n and a literal quote.
void append_argument(std::wstring &line, std::wstring_view arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        line += c;
        backslashes = 0;
    }
    // The closing quote follows: the run before it is doubled so that it stays literal.
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// The program's name is split by a rule of its own: it ends at the first space or tab, or it is
// everything between two quotes, backslashes as they are. A file name holds no quote.
void append_program_name(std::wstring &line, std::wstring_view name) {
    if (!name.empty() && name.find_first_of(L" \t") == std::wstring_view::npos) {
        line += name;
        return;
    }
    line += L'"';
    line += name;
    line += L'"';
}

// The part of an environment entry before its '='. The per-drive current folders are entries
// such as "=C:=C:\\work", whose name starts with the '='.
std::wstring_view entry_name(std::wstring_view entry) {
    return entry.substr(0, entry.find(L'=', 1));
}

// Our environment with the command's variables set in it, as a block for CreateProcessW: each
// entry NUL-terminated, one more NUL at the end. Names compare without case, as the system
// compares them, and the block is sorted by name the way the system keeps it. False when a
// variable is not UTF-8.
bool player_environment(const PlayerCommand &command, std::wstring &block) {
    std::vector<std::wstring> added;
    for (const auto &[key, value] : command.env) {
        std::wstring name;
        std::wstring text;
        if (!widen(key, name) || !widen(value, text)) return false;
        added.push_back(name + L'=' + text);
    }
    std::vector<std::wstring> entries;
    const Handle<wchar_t, free_environment> ours(GetEnvironmentStringsW());
    for (const wchar_t *e = ours.get(); e && *e; e += std::wcslen(e) + 1) {
        const std::wstring_view entry(e);
        const bool replaced = std::any_of(added.begin(), added.end(), [&](const std::wstring &a) {
            return same_name(entry_name(a), entry_name(entry));
        });
        if (!replaced) entries.emplace_back(entry);
    }
    entries.insert(entries.end(), added.begin(), added.end());
    std::stable_sort(
        entries.begin(), entries.end(), [](const std::wstring &a, const std::wstring &b) {
            const std::wstring_view x = entry_name(a);
            const std::wstring_view y = entry_name(b);
            return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(),
                                        static_cast<int>(y.size()), TRUE) == CSTR_LESS_THAN;
        });
    block.clear();
    for (const std::wstring &entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return true;
}

// Ctrl-C and Ctrl-Break reach every program of the console, the player included, which decides
// what they mean; the tool stays to report how the player ended. The console delivers them to
// each program on a thread of its own and in no set order, so one that ended the player may
// reach the tool only after the wait is over: they are ignored for a moment longer, and so the
// handler, once installed, stays. A handler rather than SetConsoleCtrlHandler(nullptr, TRUE),
// which the player would inherit, and then it could not be interrupted at all. The console
// closing still ends the tool, as it ends the player.
constexpr ULONGLONG kLateInterruptionMs = 1000;
std::atomic<int> g_players_running{0};
std::atomic<ULONGLONG> g_player_ended{0};

BOOL WINAPI leave_interruptions_to_player(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    const bool ours = g_players_running.load() > 0 ||
                      GetTickCount64() - g_player_ended.load() < kLateInterruptionMs;
    return ours ? TRUE : FALSE;
}

class InterruptionsLeftToPlayer {
public:
    InterruptionsLeftToPlayer() {
        [[maybe_unused]] static const bool installed =
            SetConsoleCtrlHandler(leave_interruptions_to_player, TRUE);
        ++g_players_running;
    }
    ~InterruptionsLeftToPlayer() {
        // The end's time first: the handler never sees no player running and an older end.
        g_player_ended.store(GetTickCount64());
        --g_players_running;
    }
    InterruptionsLeftToPlayer(const InterruptionsLeftToPlayer &) = delete;
    InterruptionsLeftToPlayer &operator=(const InterruptionsLeftToPlayer &) = delete;
};

// The user's temporary folder with a separator at its end; empty when unknown.
std::wstring temp_folder() {
    std::wstring dir(MAX_PATH + 1, L'\0');
    DWORD n = GetTempPathW(static_cast<DWORD>(dir.size()), dir.data());
    if (n >= dir.size() && n < kMaxPathUnits) {
        dir.resize(n);
        n = GetTempPathW(static_cast<DWORD>(dir.size()), dir.data());
    }
    if (n == 0 || n >= dir.size()) return {};
    dir.resize(n);
    return dir;
}

// A security descriptor that lets the user running the tool, and no one else, open a file, with
// nothing inherited from the folder: the files hold the access token, and TMP may name a folder
// that others can read. Empty when it cannot be made, and then the file takes the folder's
// permissions, which for the user's own temporary folder are the user's alone as well.
class OwnerOnly {
public:
    OwnerOnly() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        const Handle<void, CloseHandle> owned(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        // TOKEN_USER holds a pointer into its own block, which is kept aligned for it.
        std::vector<std::uint64_t> user((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
        wchar_t *sid = nullptr;
        if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size) ||
            !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid, &sid))
            return;
        const Handle<wchar_t, free_local> sid_text(sid);
        // P: protected, nothing inherited; FA: all file access, for that SID only.
        const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;") + sid + L")";
        void *descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &descriptor, nullptr))
            return;
        descriptor_.reset(descriptor);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor;
        attributes_.bInheritHandle = FALSE;
    }

    SECURITY_ATTRIBUTES *get() { return descriptor_ ? &attributes_ : nullptr; }

private:
    Handle<void, free_local> descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

// A name that no other file of the folder has yet, most likely: 64 random bits.
bool random_name(std::wstring &name) {
    unsigned int a = 0;
    unsigned int b = 0;
    if (rand_s(&a) != 0 || rand_s(&b) != 0) return false;
    std::array<wchar_t, 32> text{};
    std::swprintf(text.data(), text.size(), L"kojelly-%08x%08x.tmp", a, b);
    name = text.data();
    return true;
}

bool write_all(HANDLE file, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
        DWORD n = 0;
        if (!WriteFile(file, text.data() + done, piece, &n, nullptr) || n == 0) return false;
        done += n;
    }
    return true;
}

}  // namespace

struct PrivateFiles::State {
    std::vector<std::wstring> paths;
};

bool names_a_path(const std::string &name) {
    // "C:mpv.exe" is a path as well: mpv.exe in drive C's current folder.
    const bool drive = name.size() >= 2 && name[1] == ':' &&
                       ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
    return drive || name.find_first_of("/\\") != std::string::npos;
}

std::string find_program(const std::string &name) {
    std::wstring wide;
    if (name.empty() || !widen(name, wide)) return {};
    if (names_a_path(name)) return narrow(first_program(wide));
    // Only PATH: neither the current folder nor the tool's own, which CreateProcess and cmd.exe
    // would look in first, so that a program of that name lying in the folder the user happens
    // to be in is not run.
    const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0) return {};
    std::wstring path(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"PATH", path.data(), size);
    if (n == 0 || n >= size) return {};
    path.resize(n);
    std::wstring_view rest = path;
    while (!rest.empty()) {
        const auto semicolon = rest.find(L';');
        std::wstring dir(rest.substr(0, semicolon));
        rest.remove_prefix(semicolon == std::wstring_view::npos ? rest.size() : semicolon + 1);
        // A folder with a ';' in its name is written in quotes, which are no part of it.
        std::erase(dir, L'"');
        if (dir.empty()) continue;
        if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
        if (const std::wstring found = first_program(dir + wide); !found.empty())
            return narrow(found);
    }
    return {};
}

PrivateFiles::PrivateFiles() : state_(std::make_unique<State>()) {}

PrivateFiles::~PrivateFiles() {
    for (const std::wstring &path : state_->paths) DeleteFileW(path.c_str());
}

PrivateFile PrivateFiles::maker() {
    return [this](const std::string &text) -> std::string {
        const std::wstring dir = temp_folder();
        if (dir.empty()) return {};
        OwnerOnly security;
        // Room first, so that a file once made is always on the list that removes it.
        state_->paths.reserve(state_->paths.size() + 1);
        std::wstring name;
        for (int attempt = 0; attempt < kNameAttempts && random_name(name); ++attempt) {
            const std::wstring path = dir + name;
            // CREATE_NEW: never a file that someone else put there first.
            const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, security.get(),
                                            CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                const DWORD code = GetLastError();
                if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
                return {};
            }
            const bool written = write_all(file, text);
            // The player opens it by its path once it is closed.
            if (!CloseHandle(file) || !written) {
                DeleteFileW(path.c_str());
                return {};
            }
            state_->paths.push_back(path);
            return narrow(path);
        }
        return {};
    };
}

PlayerRun run_player(const PlayerCommand &command, const std::string &path,
                     const PrivateFiles & /*files: the player opens them by their paths*/) {
    PlayerRun run;
    std::wstring program;
    std::wstring line;
    std::wstring environment;
    for (std::size_t i = 0; i < command.argv.size(); ++i) {
        std::wstring arg;
        if (!widen(command.argv[i], arg)) {
            run.error = "an argument is not UTF-8";
            return run;
        }
        if (i == 0) {
            append_program_name(line, arg);
        } else {
            append_argument(line, arg);
        }
    }
    if (!widen(path, program) || program.empty()) {
        run.error = "the program's path is not UTF-8";
        return run;
    }
    // Without variables of its own, the player gets ours as they are.
    if (!command.env.empty() && !player_environment(command, environment)) {
        run.error = "an environment variable is not UTF-8";
        return run;
    }

    std::fflush(stdout);
    std::fflush(stderr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const InterruptionsLeftToPlayer interruptions;
    // No handles inherited: the player opens the private files by their paths, and a console
    // program still gets the standard streams, which the system duplicates into it.
    if (!CreateProcessW(
            program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
            environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process)) {
        run.error = system_message(GetLastError(), "the program");
        return run;
    }
    const Handle<void, CloseHandle> thread(process.hThread);
    const Handle<void, CloseHandle> player(process.hProcess);
    run.started = true;
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &code)) {
        // An exception code (0xC0000005 and the like) shows as a negative status.
        run.exit_status = static_cast<int>(code);
    }
    return run;
}

}  // namespace kojelly::cli
