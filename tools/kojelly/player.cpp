// Player command lines and the player's run; see player.hpp.
#include "player.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
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

#include "text.hpp"

extern char **environ;

namespace kojelly::cli {
namespace {

constexpr std::string_view kHeaderName = "Authorization: ";
constexpr std::string_view kCrlf = "\r\n";
// Where execvp looks when PATH is not set.
constexpr const char *kDefaultPath = "/bin:/usr/bin";
constexpr int kExecFailed = 127;

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

// The child's side of the fork: only async-signal-safe calls, since other threads of the tool
// may have held locks at the fork. An exec failure is reported through report's write end.
[[noreturn]] void exec_player(const char *path, char *const *argv, char *const *envp,
                              const std::vector<int> &inherit, pid_t parent, int report) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (const int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The player goes when the tool goes, even by SIGKILL; if that happened already, it never
    // starts.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(kExecFailed);
    for (const int fd : inherit) fcntl(fd, F_SETFD, 0);
    execve(path, argv, envp);
    const int e = errno;
    if (write(report, &e, sizeof e) < 0) {
        // Nothing more can be done about it here.
    }
    _exit(kExecFailed);
}

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
    for (const std::string &dir : split(path ? path : kDefaultPath, ':')) {
        // An empty entry is the current directory.
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (executable_file(candidate)) return candidate;
    }
    return {};
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
    // Everything the child needs is allocated before the fork.
    std::vector<std::string> args = command.argv;
    std::vector<std::string> env = player_env(command);
    const std::vector<char *> argv = pointers(args);
    const std::vector<char *> envp = pointers(env);
    int report[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0) {
        run.error = std::strerror(errno);
        return run;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const Dispositions dispositions;
    g_pending.store(0);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) exec_player(path.c_str(), argv.data(), envp.data(), inherit, parent, report[1]);
    close(report[1]);
    if (pid < 0) {
        run.error = std::strerror(errno);
        close(report[0]);
        return run;
    }
    g_player.store(pid);
    if (const int sig = g_pending.exchange(0); sig != 0) kill(pid, sig);

    // The write end closes at the exec: nothing to read means the player runs.
    int exec_errno = 0;
    ssize_t got = 0;
    do {
        got = read(report[0], &exec_errno, sizeof exec_errno);
    } while (got < 0 && errno == EINTR);
    close(report[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_player.store(0);
    if (got == static_cast<ssize_t>(sizeof exec_errno)) {
        run.error = std::strerror(exec_errno);
        return run;
    }
    run.started = true;
    if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}

}  // namespace kojelly::cli
