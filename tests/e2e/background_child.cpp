// Programs beside the tests; see background_child.hpp.
#include "background_child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>

extern char **environ;

namespace e2e {
namespace {

constexpr auto kGraceOnStop = std::chrono::seconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(10);

}  // namespace

BackgroundChild::BackgroundChild(const std::string &program, const std::vector<std::string> &args,
                                 const std::vector<std::pair<std::string, std::string>> &env) {
    std::array<int, 2> fds = {-1, -1};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);

    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The tests talk to 127.0.0.1 only: no proxy may stand in the way.
    std::vector<std::pair<std::string, std::string>> vars = env;
    vars.emplace_back("no_proxy", "127.0.0.1,localhost");
    vars.emplace_back("NO_PROXY", "127.0.0.1,localhost");
    std::vector<std::string> env_text;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &[key, value] : vars) replaced = replaced || key == name;
        if (!replaced) env_text.push_back(entry);
    }
    for (const auto &[key, value] : vars) env_text.push_back(key + "=" + value);
    std::vector<char *> envp;
    for (std::string &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        pid_ = -1;
        error_ = "cannot start " + program + ": " + std::strerror(rc);
        return;
    }
    out_ = fds[0];
}

BackgroundChild::~BackgroundChild() {
    if (out_ >= 0) close(out_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kGraceOnStop;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            return;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

bool BackgroundChild::wait_for(const std::string &text, std::chrono::milliseconds within) {
    return read_until(
        [&text](const std::string &out) { return out.find(text) != std::string::npos; }, within);
}

std::string BackgroundChild::wait_for_match(const std::string &pattern,
                                            std::chrono::milliseconds within) {
    const std::regex re(pattern);
    std::smatch m;
    if (!read_until([&](const std::string &out) { return std::regex_search(out, m, re); }, within))
        return {};
    return m.size() > 1 ? m[1].str() : m[0].str();
}

bool BackgroundChild::read_until(const std::function<bool(const std::string &)> &done,
                                 std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    std::array<char, 4096> buf{};
    while (out_ >= 0 && !done(output_)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = read(out_, buf.data(), buf.size());
        if (n <= 0) {
            close(out_);
            out_ = -1;
            break;
        }
        output_.append(buf.data(), static_cast<std::size_t>(n));
    }
    return done(output_);
}

std::string find_program(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

}  // namespace e2e
