// Player command lines and the player's run; see player.hpp.
#include "player.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace kojelly::cli {
namespace {

constexpr std::string_view kHeaderName = "Authorization: ";
constexpr std::string_view kCrlf = "\r\n";
// Where execvp looks when PATH is not set.
constexpr const char *kDefaultPath = "/bin:/usr/bin";

// Characters that no POSIX shell gives a meaning to in a word.
bool plain(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) return false;
    return std::isalnum(u) != 0 || std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

bool has_line_break(std::string_view text) {
    return text.find_first_of(kCrlf) != std::string_view::npos;
}

bool executable_file(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The player being waited for, for the signal handler, and a signal that came before it ran.
std::atomic<pid_t> g_player{0};
std::atomic<int> g_pending{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler reads these");

void pass_on(int sig) {
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
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        struct sigaction pass {};
        pass.sa_handler = pass_on;
        sigemptyset(&pass.sa_mask);
        sigaction(SIGINT, &ignore, &old_[0]);
        sigaction(SIGQUIT, &ignore, &old_[1]);
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

PlayerKind player_kind(std::string_view player) {
    const auto slash = player.rfind('/');
    const std::string_view name =
        slash == std::string_view::npos ? player : player.substr(slash + 1);
    if (name == "mpv") return PlayerKind::mpv;
    if (name == "ffplay") return PlayerKind::ffplay;
    if (name == "vlc" || name == "cvlc") return PlayerKind::vlc;
    return PlayerKind::other;
}

bool player_command(const PlayRequest &request, const PrivateFile &private_file, PlayerCommand &out,
                    std::string &error) {
    if (has_line_break(request.url) || has_line_break(request.authorization)) {
        error = "the stream URL or the Authorization header holds a line break";
        return false;
    }
    std::string header(kHeaderName);
    header += request.authorization;
    out = {};
    out.argv.push_back(request.player);
    auto &argv = out.argv;
    const auto add_extra = [&] {
        argv.insert(argv.end(), request.extra.begin(), request.extra.end());
    };
    switch (player_kind(request.player)) {
        case PlayerKind::mpv:
            // The stream is a plain file: no site extractor should ever be handed its URL.
            argv.emplace_back("--ytdl=no");
            if (!request.title.empty()) argv.push_back("--force-media-title=" + request.title);
            if (private_file) {
                // %N% quotes N bytes as they are: commas, quotes and '#' included.
                const std::string conf = "http-header-fields-append=%" +
                                         std::to_string(header.size()) + "%" + header + "\n";
                const std::string include = private_file(conf);
                const std::string playlist =
                    include.empty() ? "" : private_file(request.url + "\n");
                if (playlist.empty()) {
                    error = "cannot make the private files that hand mpv the header and the URL";
                    return false;
                }
                argv.push_back("--include=" + include);
                add_extra();
                argv.push_back("--playlist=" + playlist);
            } else {
                argv.push_back("--http-header-fields-append=" + header);
                add_extra();
                argv.push_back(request.url);
            }
            break;
        case PlayerKind::ffplay:
            argv.emplace_back("-headers");
            argv.push_back(header + std::string(kCrlf));
            if (!request.title.empty()) {
                argv.emplace_back("-window_title");
                argv.push_back(request.title);
            }
            add_extra();
            argv.push_back(request.url);
            break;
        case PlayerKind::vlc:
            if (!request.title.empty()) argv.push_back("--meta-title=" + request.title);
            add_extra();
            argv.push_back(request.url);
            out.sends_header = false;
            break;
        case PlayerKind::other:
            add_extra();
            argv.push_back(request.url);
            out.env.emplace_back(kAuthorizationVar, request.authorization);
            break;
    }
    return true;
}

std::string shell_quote(std::string_view arg) {
    if (!arg.empty() && std::all_of(arg.begin(), arg.end(), plain)) return std::string(arg);
    std::string out;
    bool quoted = false;  // inside single quotes
    const auto quote = [&](bool want) {
        if (want != quoted) out += '\'';
        quoted = want;
    };
    for (std::size_t i = 0; i < arg.size(); ++i) {
        const char c = arg[i];
        if (c == '\'') {
            quote(false);
            out += "\\'";
        } else if (c == '\r') {
            quote(false);
            const bool pair = i + 1 < arg.size() && arg[i + 1] == '\n';
            out += pair ? "\"${crlf%.}\"" : "\"${crlf%??}\"";
            if (pair) ++i;
        } else {
            quote(true);
            out += c;
        }
    }
    quote(false);
    return out.empty() ? "''" : out;
}

std::string shell_line(const PlayerCommand &command) {
    std::string out;
    // A CR typed or pasted into a terminal arrives as a line end, so it is made by printf; the
    // dot keeps the command substitution from dropping the LF behind it.
    bool has_cr = false;
    for (const std::string &arg : command.argv)
        has_cr = has_cr || arg.find('\r') != std::string::npos;
    for (const auto &[name, value] : command.env)
        has_cr = has_cr || value.find('\r') != std::string::npos;
    if (has_cr) out = "crlf=$(printf '\\r\\n.'); ";
    for (const auto &[name, value] : command.env) {
        out += name;
        out += '=';
        out += shell_quote(value);
        out += ' ';
    }
    for (std::size_t i = 0; i < command.argv.size(); ++i) {
        if (i > 0) out += ' ';
        out += shell_quote(command.argv[i]);
    }
    return out;
}

std::string find_program(const std::string &name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return executable_file(name) ? name : std::string();
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

PrivateFiles::~PrivateFiles() {
    for (const int fd : fds_) close(fd);
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
        fds_.push_back(fd);
        return "/dev/fd/" + std::to_string(fd);
    };
}

PlayerRun run_player(const PlayerCommand &command, const std::string &path,
                     const std::vector<int> &inherit) {
    PlayerRun run;
    std::vector<std::string> args = command.argv;
    std::vector<std::string> env = player_env(command);
    const std::vector<char *> argv = pointers(args);
    const std::vector<char *> envp = pointers(env);
    const Inherited fds(inherit);
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
        const Dispositions dispositions;
        g_pending.store(0);
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
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) run.error = std::strerror(rc);
    return run;
}

}  // namespace kojelly::cli
