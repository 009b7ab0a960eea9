// The console the tool talks to: setting up its standard streams, the arguments as UTF-8,
// whether a standard stream is a terminal, and a terminal's echo turned off while a password is
// typed. terminal_posix.cpp and terminal_windows.cpp implement it.
#pragma once

#include <string>
#include <vector>

namespace kojelly::cli {

// Once, first thing in main: the standard streams write exactly the bytes they are given (no
// line-end translation) and a console shows them as UTF-8, so that the output is the same
// bytes on every system.
void prepare_console();

// The command line as UTF-8 texts, argv[0] first. On Windows from the console's own UTF-16
// command line, since argv holds it in the local code page; elsewhere argv as it is.
std::vector<std::string> utf8_arguments(int argc, char **argv);

bool stdin_is_terminal();
bool stderr_is_terminal();

// Whether the text the tool prints is shown as UTF-8: the character set of the user's locale
// (LC_ALL, LC_CTYPE, LANG) on POSIX systems, where a locale that is not installed counts by its
// name; always on Windows, whose console prepare_console() sets to UTF-8.
bool text_is_utf8();

// Ends the tool by the signal sig (a POSIX signal number), as it would have ended had it not
// handled or ignored it, so that a shell or a parent sees that the run was stopped, not failed:
// a playback the user stopped, an output whose reader has gone (SIGPIPE). Standard output and
// error are flushed first. On Windows, which has no such signals, the exit status is the one a
// POSIX shell shows for them, 128 + sig.
[[noreturn]] void end_by_signal(int sig);

// One line of standard input, without its line end (LF or CR LF). A Windows console hands over
// what was typed as UTF-16, whatever its code page, and it arrives as UTF-8; anything else is
// read as the bytes that come. False when the input ended before anything came.
bool read_input_line(std::string &line);

// Echo off on standard input's terminal for the guard's life; nothing when standard input is
// not a terminal. The echo comes back on every way out: the guard's end, an exception, and an
// interruption that ends the process meanwhile (Ctrl-C, Ctrl-\, a kill or a hang-up on POSIX
// systems; Ctrl-C, Ctrl-Break or the console closing on Windows), which would otherwise leave
// the user's shell without echo. One guard at a time.
class QuietInput {
public:
    QuietInput();
    ~QuietInput();
    QuietInput(const QuietInput &) = delete;
    QuietInput &operator=(const QuietInput &) = delete;

private:
    bool active_ = false;
};

}  // namespace kojelly::cli
