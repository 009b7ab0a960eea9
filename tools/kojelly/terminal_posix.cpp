// The console on POSIX systems; see terminal.hpp.
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "terminal.hpp"

namespace kojelly::cli {
namespace {

// The terminal state that the signal handler below puts back. Written only while no handler
// that reads it is installed.
termios g_saved_tty{};

// The signals that end the process while it waits for a password: Ctrl-C, Ctrl-\, a kill, a
// hang-up.
constexpr std::array<int, 4> kEndingSignals = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
std::array<struct sigaction, kEndingSignals.size()> g_old_actions{};
std::array<bool, kEndingSignals.size()> g_caught{};

extern "C" void restore_tty_then_die(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_tty);
    // With its default action back, the signal raised again ends the process (at the latest
    // when this handler returns), so the exit status still names the signal.
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void prepare_console() {}

std::vector<std::string> utf8_arguments(int argc, char **argv) {
    return {argv, argv + argc};
}

bool stdin_is_terminal() {
    return isatty(STDIN_FILENO) != 0;
}

bool stderr_is_terminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool text_is_utf8() {
    // Asked of a locale object of its own, so that the process's locale stays "C".
    if (locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
        const std::string_view codeset = nl_langinfo_l(CODESET, locale);
        const bool utf8 = codeset == "UTF-8";
        freelocale(locale);
        return utf8;
    }
    // A locale that is not installed: its name tells the character set the terminal uses.
    for (const char *variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char *name = std::getenv(variable);
        if (!name || !*name) continue;
        return strcasestr(name, "utf-8") != nullptr || strcasestr(name, "utf8") != nullptr;
    }
    return false;
}

void end_by_signal(int sig) {
    std::fflush(stdout);
    std::fflush(stderr);
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    std::_Exit(128 + sig);  // a signal whose default action does not end a process
}

bool read_input_line(std::string &line) {
    line.clear();
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
    const bool got = c == '\n' || !line.empty();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return got;
}

QuietInput::QuietInput() {
    if (!stdin_is_terminal() || tcgetattr(STDIN_FILENO, &g_saved_tty) != 0) return;
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
        g_caught[i] = false;
        struct sigaction old {};
        // A signal the caller ignores (nohup, a background job) stays ignored.
        if (sigaction(kEndingSignals[i], nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction restore {};
        restore.sa_handler = restore_tty_then_die;
        sigemptyset(&restore.sa_mask);
        for (const int sig : kEndingSignals) sigaddset(&restore.sa_mask, sig);
        if (sigaction(kEndingSignals[i], &restore, &g_old_actions[i]) == 0) g_caught[i] = true;
    }
    // Handlers first: a signal between the two steps finds the terminal as it was.
    termios quiet = g_saved_tty;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    active_ = true;
}

QuietInput::~QuietInput() {
    if (!active_) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_tty);
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
        if (g_caught[i]) sigaction(kEndingSignals[i], &g_old_actions[i], nullptr);
    }
}

}  // namespace kojelly::cli
