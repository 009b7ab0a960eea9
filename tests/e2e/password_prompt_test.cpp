// The password prompt on a terminal: the tool runs on a pseudo-terminal of its own, as under a
// user's shell, and whatever ends the prompt (the password, end of input, Ctrl-C, a kill) must
// leave that terminal echoing again; a process killed by a signal must still die of that signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "demo_server.hpp"

extern char **environ;

namespace {

using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;
using Clock = std::chrono::steady_clock;

constexpr const char *kPassword = "prompt-pass";
constexpr auto kDeadline = std::chrono::seconds(30);

// A pseudo-terminal whose both ends the test keeps, so that its settings can still be read
// after the child has gone.
struct Pty {
    int master = -1;
    int slave = -1;
    ~Pty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    bool echo() const {
        termios t{};
        return tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO) != 0;
    }
    char control(int which) const {
        termios t{};
        tcgetattr(slave, &t);
        return static_cast<char>(t.c_cc[which]);
    }
};

// The tool as the session leader of the terminal, which is its standard input, output and error
// and its controlling terminal, so that the terminal's interrupt character reaches it.
pid_t start_on(const Pty &pty, std::vector<std::string> args) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) env.emplace_back(*e);
    env.emplace_back("no_proxy=127.0.0.1");
    env.emplace_back("NO_PROXY=127.0.0.1");
    args.insert(args.begin(), KOJELLY_CLI_PATH);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls: the test process has threads.
        setsid();
        ioctl(pty.slave, TIOCSCTTY, 0);
        for (int fd = 0; fd < 3; ++fd) dup2(pty.slave, fd);
        close(pty.master);
        close(pty.slave);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Reads what the child wrote to the terminal, for at most wait_ms.
void drain(const Pty &pty, std::string &seen, int wait_ms) {
    pollfd p{pty.master, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return;
    std::array<char, 4096> buf{};
    const ssize_t n = read(pty.master, buf.data(), buf.size());
    if (n > 0) seen.append(buf.data(), static_cast<std::size_t>(n));
}

// The child's wait status, or -1 when it outlived the deadline (it is killed then).
int wait_for(pid_t pid, const Pty &pty, std::string &seen) {
    const auto until = Clock::now() + kDeadline;
    while (Clock::now() < until) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        drain(pty, seen, 10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

TEST(PasswordPrompt, EveryWayOutLeavesTheTerminalEchoing) {
    DemoOptions o;
    o.password = kPassword;
    DemoServer server(o);
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;

    enum class End { password, end_of_input, interrupt_key, sigterm };
    struct Case {
        const char *name;
        End end;
        int exit;    // the exit status, or -1 when a signal must end it
        int signal;  // the signal that ends it
    };
    const Case cases[] = {
        {"the password and Enter", End::password, 0, 0},
        {"end of input at once", End::end_of_input, 2, 0},
        {"Ctrl-C", End::interrupt_key, -1, SIGINT},
        {"SIGTERM", End::sigterm, -1, SIGTERM},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        ASSERT_EQ(openpty(&pty.master, &pty.slave, nullptr, nullptr, nullptr), 0);
        fcntl(pty.master, F_SETFD, FD_CLOEXEC);
        fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
        ASSERT_TRUE(pty.echo()) << "a new terminal echoes";
        const pid_t pid = start_on(
            pty, {"--server", server.url(), "--user", "demo", "--password-stdin", "validate"});
        ASSERT_GT(pid, 0);

        // The prompt is up once the terminal has stopped echoing.
        std::string seen;
        const auto until = Clock::now() + kDeadline;
        while ((seen.find("Password: ") == std::string::npos || pty.echo()) && Clock::now() < until)
            drain(pty, seen, 10);
        const bool prompted = !pty.echo();
        if (prompted) {
            switch (c.end) {
                case End::password: {
                    const std::string line = std::string(kPassword) + "\n";
                    ASSERT_EQ(write(pty.master, line.data(), line.size()),
                              static_cast<ssize_t>(line.size()));
                    break;
                }
                case End::end_of_input: {
                    const char eof = pty.control(VEOF);
                    ASSERT_EQ(write(pty.master, &eof, 1), 1);
                    break;
                }
                case End::interrupt_key: {
                    const char intr = pty.control(VINTR);
                    ASSERT_EQ(write(pty.master, &intr, 1), 1);
                    break;
                }
                case End::sigterm:
                    kill(pid, SIGTERM);
                    break;
            }
        } else {
            kill(pid, SIGKILL);
        }
        const int status = wait_for(pid, pty, seen);
        ASSERT_TRUE(prompted) << "no prompt without echo; the terminal showed:\n" << seen;
        ASSERT_NE(status, -1) << "still running; the terminal showed:\n" << seen;
        EXPECT_TRUE(pty.echo()) << "the terminal was left without echo";
        if (c.exit >= 0) {
            ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
            EXPECT_EQ(WEXITSTATUS(status), c.exit) << seen;
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << "\n" << seen;
            EXPECT_EQ(WTERMSIG(status), c.signal);
        }
        EXPECT_EQ(seen.find(kPassword), std::string::npos) << "the password was echoed";
    }
}

}  // namespace
