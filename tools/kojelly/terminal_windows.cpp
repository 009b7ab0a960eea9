// The console on Windows; see terminal.hpp. The console's modes and code pages belong to the
// console, not to this process: the shell that started the tool shares them, so whatever is
// changed here is put back on every way out, an interruption that ends the process included.
// windows.h first, as every Windows file of the tool includes it.
#include "windows_text.hpp"
// The system headers below expect windows.h before them.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "owned.hpp"
#include "terminal.hpp"

namespace kojelly::cli {
namespace {

bool is_console(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// The output code page the console had before prepare_console; 0 while it is unchanged.
std::atomic<UINT> g_old_output_cp{0};

void restore_output_cp() {
    if (const UINT cp = g_old_output_cp.exchange(0); cp != 0) SetConsoleOutputCP(cp);
}

// Runs on a thread of its own when the console interrupts or closes: exit() and its atexit
// functions do not run then, since the default handling ends the process with ExitProcess.
BOOL WINAPI restore_output_cp_then_end(DWORD) {
    restore_output_cp();
    return FALSE;
}

// The input mode that the console handler below puts back. Written only while no handler that
// reads it is installed.
HANDLE g_quiet_input = nullptr;
DWORD g_saved_mode = 0;

// Called for Ctrl-C, Ctrl-Break, the console closing, a log-off and a shutdown alike: each
// ends the process when no one handles it, and FALSE leaves that to the next handler, and in
// the end to the system's default one.
BOOL WINAPI restore_echo_then_end(DWORD) {
    SetConsoleMode(g_quiet_input, g_saved_mode);
    return FALSE;
}

}  // namespace

void prepare_console() {
    // Text mode would write "\n" as CR LF and take a Ctrl-Z in input as its end.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // 0: the process has no console (output to files and pipes is bytes, with no code page).
    const UINT old = GetConsoleOutputCP();
    if (old == 0 || old == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
    g_old_output_cp.store(old);
    std::atexit(restore_output_cp);
    SetConsoleCtrlHandler(restore_output_cp_then_end, TRUE);
}

std::vector<std::string> utf8_arguments(int argc, char **argv) {
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    const Handle<wchar_t *, free_local> owned(wide);
    if (!wide || count <= 0) return {argv, argv + argc};
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) out.push_back(narrow(wide[i]));
    return out;
}

bool stdin_is_terminal() {
    return is_console(STD_INPUT_HANDLE);
}

bool stderr_is_terminal() {
    return is_console(STD_ERROR_HANDLE);
}

bool text_is_utf8() {
    return true;
}

void end_by_signal(int sig) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(128 + sig);
}

bool read_input_line(std::string &line) {
    line.clear();
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !input || !GetConsoleMode(input, &mode)) {
        int c = 0;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
        const bool got = c == '\n' || !line.empty();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return got;
    }
    // The console's text, not its code page's bytes: a password with letters outside that code
    // page would otherwise arrive as other bytes, or as none.
    std::wstring typed;
    wchar_t piece[256];
    bool got = false;
    while (true) {
        DWORD count = 0;
        if (!ReadConsoleW(input, piece, static_cast<DWORD>(std::size(piece)), &count, nullptr) ||
            count == 0)
            break;
        got = true;
        typed.append(piece, count);
        if (typed.back() == L'\n') break;
    }
    SecureZeroMemory(piece, sizeof piece);
    while (!typed.empty() && (typed.back() == L'\n' || typed.back() == L'\r')) typed.pop_back();
    line = narrow(typed);
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    return got;
}

QuietInput::QuietInput() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !input || !GetConsoleMode(input, &mode)) return;
    g_quiet_input = input;
    g_saved_mode = mode;
    // Handler first: an interruption between the two steps finds the mode as it was.
    if (!SetConsoleCtrlHandler(restore_echo_then_end, TRUE)) return;
    // Line input stays on: the console turns echo off only together with it, and the C runtime
    // reads the password a line at a time as usual, CR LF at its end.
    if (!SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
        SetConsoleCtrlHandler(restore_echo_then_end, FALSE);
        return;
    }
    active_ = true;
}

QuietInput::~QuietInput() {
    if (!active_) return;
    SetConsoleMode(g_quiet_input, g_saved_mode);
    SetConsoleCtrlHandler(restore_echo_then_end, FALSE);
}

}  // namespace kojelly::cli
