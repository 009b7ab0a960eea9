// Running a player on POSIX systems; see player_process.hpp.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "player_process.hpp"

extern char **environ;

namespace kojelly::cli {
namespace {

// Where execvp looks when PATH is not set.
constexpr const char *kDefaultPath = "/bin:/usr/bin";

bool executable_file(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The player being waited for, for the signal handlers, a signal that came before it ran, and
// the first signal that asked the tool to stop.
std::atomic<pid_t> g_player{0};
std::atomic<int> g_pending{0};
std::atomic<int> g_stopped_by{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handlers read these");

void note_stop(int sig) {
    int none = 0;
    g_stopped_by.compare_exchange_strong(none, sig);
}

// SIGINT and SIGQUIT: the terminal sends them to the player as well.
void note_only(int sig) {
    note_stop(sig);
}

void pass_on(int sig) {
    note_stop(sig);
    const pid_t pid = g_player.load();
    if (pid > 0) {
        kill(pid, sig);
    } else {
        g_pending.store(sig);
    }
}

// Signal dispositions replaced for the player's run and given back afterwards.
class Dispositions {
public:
    Dispositions() {
        struct sigaction note {};
        note.sa_handler = note_only;
        sigemptyset(&note.sa_mask);
        struct sigaction pass {};
        pass.sa_handler = pass_on;
        sigemptyset(&pass.sa_mask);
        sigaction(SIGINT, &note, &old_[0]);
        sigaction(SIGQUIT, &note, &old_[1]);
        sigaction(SIGTERM, &pass, &old_[2]);
        sigaction(SIGHUP, &pass, &old_[3]);
    }
    ~Dispositions() {
        sigaction(SIGINT, &old_[0], nullptr);
        sigaction(SIGQUIT, &old_[1], nullptr);
        sigaction(SIGTERM, &old_[2], nullptr);
        sigaction(SIGHUP, &old_[3], nullptr);
    }
    Dispositions(const Dispositions &) = delete;
    Dispositions &operator=(const Dispositions &) = delete;

private:
    std::array<struct sigaction, 4> old_{};
};

// Our environment with the command's variables set in it.
std::vector<std::string> player_env(const PlayerCommand &command) {
    std::vector<std::string> out;
    for (char **e = environ; e && *e; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &[key, value] : command.env) replaced = replaced || key == name;
        if (!replaced) out.emplace_back(entry);
    }
    for (const auto &[key, value] : command.env) out.push_back(key + "=" + value);
    return out;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> out;
    for (std::string &t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// File descriptors that stay open in the player although the tool's own copies close on exec:
// each is replaced in the player by a duplicate without that flag.
class Inherited {
public:
    explicit Inherited(const std::vector<int> &fds) {
        for (const int fd : fds) {
            const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (copy < 0) {
                error_ = errno;
                return;
            }
            copies_.emplace_back(copy, fd);
        }
    }
    ~Inherited() {
        for (const auto &[copy, fd] : copies_) close(copy);
    }
    Inherited(const Inherited &) = delete;
    Inherited &operator=(const Inherited &) = delete;

    // Has the player duplicate each copy onto the original's number; 0, or an errno value.
    int add_to(posix_spawn_file_actions_t &actions) const {
        if (error_ != 0) return error_;
        for (const auto &[copy, fd] : copies_) {
            if (const int rc = posix_spawn_file_actions_adddup2(&actions, copy, fd)) return rc;
        }
        return 0;
    }

private:
    std::vector<std::pair<int, int>> copies_;
    int error_ = 0;
};

}  // namespace

struct PrivateFiles::State {
    std::vector<int> fds;
};

bool names_a_path(const std::string &name) {
    return name.find('/') != std::string::npos;
}

std::string find_program(const std::string &name) {
    if (name.empty()) return {};
    if (names_a_path(name)) return executable_file(name) ? name : std::string();
    const char *path = std::getenv("PATH");
    std::string_view rest = path ? path : kDefaultPath;
    // One candidate buffer for every entry, as execvp does it.
    std::string candidate;
    candidate.reserve(rest.size() + name.size() + 2);
    while (true) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        // An empty entry is the current directory.
        candidate.assign(dir.empty() ? std::string_view(".") : dir);
        candidate += '/';
        candidate += name;
        if (executable_file(candidate)) return candidate;
        if (colon == std::string_view::npos) return {};
        rest.remove_prefix(colon + 1);
    }
}

PrivateFiles::PrivateFiles() : state_(std::make_unique<State>()) {}

PrivateFiles::~PrivateFiles() {
    for (const int fd : state_->fds) close(fd);
}

PrivateFile PrivateFiles::maker() {
    return [this](const std::string &text) -> std::string {
        // Memory, not disk: nothing to remove afterwards, even when the tool is killed, and
        // only processes holding the descriptor, or this user, can open it.
        const int fd = memfd_create("kojelly-play", MFD_CLOEXEC);
        if (fd < 0) return {};
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(fd);
                return {};
            }
            done += static_cast<std::size_t>(n);
        }
        state_->fds.push_back(fd);
        return "/dev/fd/" + std::to_string(fd);
    };
}

PlayerRun run_player(const PlayerCommand &command, const std::string &path,
                     const PrivateFiles &files) {
    PlayerRun run;
    std::vector<std::string> args = command.argv;
    std::vector<std::string> env = player_env(command);
    const std::vector<char *> argv = pointers(args);
    const std::vector<char *> envp = pointers(env);
    const Inherited fds(files.state().fds);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The player starts with no signal blocked and the signals that the tool handles or ignores
    // while it waits at their defaults.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::fflush(stdout);
    std::fflush(stderr);
    int rc = fds.add_to(actions);
    pid_t pid = -1;
    if (rc == 0) {
        g_pending.store(0);
        g_stopped_by.store(0);
        const Dispositions dispositions;
        // glibc's posix_spawn returns only once the exec has happened or failed, with its error.
        rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), envp.data());
        if (rc == 0) {
            g_player.store(pid);
            if (const int sig = g_pending.exchange(0); sig != 0) kill(pid, sig);
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            g_player.store(0);
            run.started = true;
            if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
        }
    }
    run.stopped_by = g_stopped_by.exchange(0);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) run.error = std::strerror(rc);
    return run;
}

}  // namespace kojelly::cli
