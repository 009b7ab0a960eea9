// Child processes for the end-to-end tests; see child_process.hpp.
#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

extern char **environ;

namespace e2e {
namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() {
        for (int &f : fd) {
            if (f >= 0) close(f);
        }
    }
    void close_end(int i) {
        if (fd[i] >= 0) close(fd[i]);
        fd[i] = -1;
    }
};

// Our environment with the run's variables set, proxies out of the way (the tests talk to
// 127.0.0.1 only), and a UTF-8 locale unless the run names one, so that what the tool draws does
// not depend on the locale the tests run in.
std::vector<std::string> child_env(const RunRequest &run) {
    std::vector<std::pair<std::string, std::string>> vars = run.env;
    vars.emplace_back("no_proxy", "127.0.0.1,localhost");
    vars.emplace_back("NO_PROXY", "127.0.0.1,localhost");
    const auto names = [&vars](const char *name) {
        for (const auto &[key, value] : vars)
            if (key == name) return true;
        return false;
    };
    if (!names("LC_ALL")) vars.emplace_back("LC_ALL", "C.UTF-8");
    std::vector<std::string> out;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &[key, value] : vars) replaced = replaced || key == name;
        if (!replaced) out.push_back(entry);
    }
    for (const auto &[key, value] : vars) out.push_back(key + "=" + value);
    return out;
}

}  // namespace

RunResult run_child(const RunRequest &run) {
    // A child that exits before reading all its input must fail a write, not kill the tests.
    signal(SIGPIPE, SIG_IGN);
    RunResult r;
    Pipe in, out, err;
    if (pipe2(in.fd, O_CLOEXEC) != 0 || pipe2(out.fd, O_CLOEXEC) != 0 ||
        pipe2(err.fd, O_CLOEXEC) != 0)
        return r;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);

    std::vector<std::string> args = {run.program};
    args.insert(args.end(), run.args.begin(), run.args.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = child_env(run);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int rc =
        posix_spawn(&pid, run.program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    in.close_end(0);
    out.close_end(1);
    err.close_end(1);
    if (rc != 0) {
        r.err = std::string("cannot start ") + run.program + ": " + std::strerror(rc);
        return r;
    }

    // Feed standard input and drain both outputs together, so that no pipe fills up and
    // blocks the child.
    std::size_t written = 0;
    if (run.input.empty()) in.close_end(1);
    const auto deadline = std::chrono::steady_clock::now() + run.deadline;
    std::array<char, 65536> buf{};
    bool terminated = false;
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        std::array<pollfd, 3> fds = {
            {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}}};
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            Pipe &p = i == 0 ? out : err;
            const ssize_t n = read(p.fd[0], buf.data(), buf.size());
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf.data(), static_cast<std::size_t>(n));
            } else {
                p.close_end(0);
            }
        }
        if (!terminated && !run.terminate_after.empty() &&
            r.out.find(run.terminate_after) != std::string::npos) {
            kill(pid, SIGTERM);
            terminated = true;
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const ssize_t n =
                write(in.fd[1], run.input.data() + written, run.input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n <= 0 || written == run.input.size()) in.close_end(1);
        }
    }
    in.close_end(1);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.status = 128 + WTERMSIG(wstatus);
    return r;
}

}  // namespace e2e
