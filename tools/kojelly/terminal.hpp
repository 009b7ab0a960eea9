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
