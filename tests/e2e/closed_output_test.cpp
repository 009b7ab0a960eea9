// A reader that goes away early (`kojelly … | head`) ends every command the way it ends any
// POSIX program: by SIGPIPE, with nothing on standard error and no further work.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "demo_server.hpp"
#include "scratch_dir.hpp"

extern char **environ;

namespace {

using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;

struct Ended {
    int status = -1;  // from waitpid
    std::string err;
};

// Runs the tool with standard output on a pipe whose reading end is already closed, as a shell
// leaves it when the reader has gone, and SIGPIPE at its default action, as a shell starts it.
Ended run_unread(const std::vector<std::string> &args, const e2e::ScratchDir &dir) {
    Ended e;
    int fd[2];
    if (pipe(fd) != 0) return e;
    close(fd[0]);
    const std::string err_path = dir.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char *> argv;
    std::string program = KOJELLY_CLI_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string &a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    close(fd[1]);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return e;
    while (waitpid(pid, &e.status, 0) < 0) {
    }
    e.err = e2e::ScratchDir::read(err_path);
    return e;
}

TEST(ClosedOutput, EveryCommandEndsBySigpipeAndSaysNothing) {
    DemoOptions o;
    o.api_key = "0123456789abcdef0123456789abcdef";
    DemoServer server(o);
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    ASSERT_EQ(setenv("KJ_CLOSED_KEY", o.api_key.c_str(), 1), 0);
    const std::vector<std::string> keyed = {"--server", server.url(), "--api-key-env",
                                            "KJ_CLOSED_KEY"};
    struct Case {
        const char *name;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {"demo", {"demo"}},
        {"ls", {"ls", server.library().movies().id}},
        {"tree", {"tree", server.library().shows().id}},
    };
    const e2e::ScratchDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        if (args.front() != "demo") args.insert(args.begin(), keyed.begin(), keyed.end());
        const Ended e = run_unread(args, dir);
        ASSERT_TRUE(WIFSIGNALED(e.status)) << "exit status " << WEXITSTATUS(e.status) << "\n"
                                           << e.err;
        EXPECT_EQ(WTERMSIG(e.status), SIGPIPE);
        EXPECT_EQ(e.err, "");
    }
    unsetenv("KJ_CLOSED_KEY");
}

}  // namespace
