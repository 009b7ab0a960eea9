// The command lines the tool builds for players, in-process: which player a name means, the
// printed form with the header inline, the quoting that a POSIX shell reads back to the same
// arguments, and the search along PATH.
#include "player.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "player_process.hpp"
#include "scratch_dir.hpp"

namespace {

using kojelly::cli::find_program;
using kojelly::cli::player_command;
using kojelly::cli::PlayerCommand;
using kojelly::cli::PlayerKind;
using kojelly::cli::PlayRequest;
using kojelly::cli::PrivateFile;
using kojelly::cli::shell_line;
using kojelly::cli::shell_quote;

constexpr const char *kUrl = "http://127.0.0.1:8096/videos/abc/stream?static=true&api_key=tok";
constexpr const char *kAuth =
    "MediaBrowser Client=\"org.kojelly.plugin\", Device=\"NativeClient\", DeviceId=\"d, 1\", "
    "Version=\"1.0\", Token=\"tok\"";

TEST(PlayerKindTest, TheProgramsLastPathComponentNamesThePlayer) {
    struct Case {
        const char *player;
        PlayerKind kind;
    };
    const std::vector<Case> cases = {
        {"mpv", PlayerKind::mpv},
        {"/usr/bin/mpv", PlayerKind::mpv},
        {"./ffplay", PlayerKind::ffplay},
        {"ffplay", PlayerKind::ffplay},
        {"vlc", PlayerKind::vlc},
        {"cvlc", PlayerKind::vlc},
        {"mpv.sh", PlayerKind::other},
        {"/opt/mpv/bin/player", PlayerKind::other},
        {"MPV", PlayerKind::other},
        {"", PlayerKind::other},
        // Windows paths and program files.
        {"C:\\Programs\\mpv\\mpv.exe", PlayerKind::mpv},
        {"ffplay.EXE", PlayerKind::ffplay},
        {"vlc.exe", PlayerKind::vlc},
        {".exe", PlayerKind::other},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.player);
        EXPECT_EQ(kojelly::cli::player_kind(c.player), c.kind);
    }
}

// Without private files the header is on the command line, each player's way; with them, mpv
// reads the header and the URL from two files and nothing else changes.
TEST(PlayerCommandTest, EachPlayerTakesTheHeaderItsOwnWay) {
    const std::string header = std::string("Authorization: ") + kAuth;
    struct Case {
        const char *name;
        const char *player;
        bool private_files;
        std::vector<std::string> argv;
        std::vector<std::string> files;  // the texts of the private files, in order
        std::optional<std::string> env;  // KOJELLY_AUTHORIZATION
        bool sends_header;
    };
    const std::vector<Case> cases = {
        {"mpv printed",
         "mpv",
         false,
         {"mpv", "--ytdl=no", "--force-media-title=A Film (1999)",
          "--http-header-fields-append=" + header, "--start=5", kUrl},
         {},
         std::nullopt,
         true},
        {"mpv run",
         "/usr/bin/mpv",
         true,
         {"/usr/bin/mpv", "--ytdl=no", "--force-media-title=A Film (1999)", "--include=/private/0",
          "--start=5", "--playlist=/private/1"},
         {"http-header-fields-append=%" + std::to_string(header.size()) + "%" + header + "\n",
          std::string(kUrl) + "\n"},
         std::nullopt,
         true},
        {"ffplay",
         "ffplay",
         false,
         {"ffplay", "-headers", header + "\r\n", "-window_title", "A Film (1999)", "--start=5",
          kUrl},
         {},
         std::nullopt,
         true},
        {"ffplay with private files at hand",
         "ffplay",
         true,
         {"ffplay", "-headers", header + "\r\n", "-window_title", "A Film (1999)", "--start=5",
          kUrl},
         {},
         std::nullopt,
         true},
        {"vlc",
         "vlc",
         true,
         {"vlc", "--meta-title=A Film (1999)", "--start=5", kUrl},
         {},
         std::nullopt,
         false},
        {"another program",
         "./my player",
         true,
         {"./my player", "--start=5", kUrl},
         {},
         std::string(kAuth),
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PlayRequest request;
        request.player = c.player;
        request.url = kUrl;
        request.authorization = kAuth;
        request.title = "A Film (1999)";
        request.extra = {"--start=5"};
        std::vector<std::string> files;
        const PrivateFile record = [&files](const std::string &text) {
            files.push_back(text);
            return "/private/" + std::to_string(files.size() - 1);
        };
        PlayerCommand command;
        std::string error;
        ASSERT_TRUE(
            player_command(request, c.private_files ? record : PrivateFile(), command, error))
            << error;
        EXPECT_EQ(command.argv, c.argv);
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(command.sends_header, c.sends_header);
        if (c.env) {
            ASSERT_EQ(command.env.size(), 1u);
            EXPECT_EQ(command.env[0].first, "KOJELLY_AUTHORIZATION");
            EXPECT_EQ(command.env[0].second, *c.env);
        } else {
            EXPECT_TRUE(command.env.empty());
        }
    }
}

TEST(PlayerCommandTest, RefusesWhatNoPlayerOptionCanCarry) {
    struct Case {
        const char *name;
        std::string url;
        std::string authorization;
        bool files_fail;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"a line break in the URL", std::string(kUrl) + "\nX", kAuth, false, "line break"},
        {"a CR in the header", kUrl, std::string(kAuth) + "\rX-Other: 1", false, "line break"},
        {"no private file could be made", kUrl, kAuth, true,
         "cannot make the private files that hand mpv the header and the URL"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PlayRequest request;
        request.url = c.url;
        request.authorization = c.authorization;
        const PrivateFile fail = [](const std::string &) { return std::string(); };
        const PrivateFile fine = [](const std::string &) { return std::string("/private/0"); };
        PlayerCommand command;
        std::string error;
        EXPECT_FALSE(player_command(request, c.files_fail ? fail : fine, command, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

// A printed command, run by /bin/sh, hands the program the same bytes, whatever they hold: the
// header's quotes and commas, the CRLF that ends ffplay's header, and anything a shell would
// otherwise expand. The printed line holds no CR of its own, so it survives a terminal.
TEST(ShellLineTest, AShellReadsBackTheSameArguments) {
    struct Case {
        const char *name;
        std::string arg;
        bool plain;  // printed as it is, without quotes
    };
    const std::vector<Case> cases = {
        {"plain", "--ytdl=no", true},
        {"a URL", "http://127.0.0.1:8096/videos/a/stream?static=true&api_key=k", false},
        {"the header", std::string("Authorization: ") + kAuth, false},
        {"the header with its CRLF", std::string("Authorization: ") + kAuth + "\r\n", false},
        {"a CRLF inside", "a\r\nb", false},
        {"a lone CR", "a\rb", false},
        {"a lone LF", "a\nb", false},
        {"single quotes", "it's 'quoted'", false},
        {"expansions", "$HOME `id` $(id) ${x} \\ \"", false},
        {"globs and comments", "* ? [a] ~ # ;&|<>", false},
        {"empty", "", false},
        {"a leading dash", "-headers", true},
        {"UTF-8", "Amélie ∕ 東京", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(shell_quote(c.arg) == c.arg, c.plain) << shell_quote(c.arg);
        PlayerCommand command;
        command.argv = {"printf", "[%s]", c.arg};
        command.env = {{"KJ_QUOTED", c.arg}};
        // The variable reaches the program as set: the printed program is a shell that prints it.
        PlayerCommand from_env;
        from_env.argv = {"sh", "-c", "printf '[%s]' \"$KJ_QUOTED\""};
        from_env.env = command.env;
        for (const PlayerCommand *cmd : {&command, &from_env}) {
            const std::string line = shell_line(*cmd);
            EXPECT_EQ(line.find('\r'), std::string::npos) << line;
            e2e::RunRequest run;
            run.program = "/bin/sh";
            run.args = {"-c", line};
            run.deadline = std::chrono::milliseconds(10000);
            const e2e::RunResult r = e2e::run_child(run);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, "[" + c.arg + "]") << line;
        }
    }
}

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) {
        if (const char *old = getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name_;
    std::optional<std::string> old_;
};

TEST(FindProgramTest, TheFirstExecutableFileAlongPathOrTheGivenPath) {
    e2e::ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    for (const char *sub : {"a", "b", "c"}) std::filesystem::create_directory(dir.file(sub));
    // a/player cannot be run and c/player is a directory: b/player is the one.
    ASSERT_FALSE(dir.write("a/player", "#!/bin/sh\n", 0644).empty());
    ASSERT_FALSE(dir.write("b/player", "#!/bin/sh\n", 0755).empty());
    std::filesystem::create_directory(dir.file("c/player"));
    ASSERT_FALSE(dir.write("c/other", "#!/bin/sh\n", 0755).empty());
    const ScopedEnv path("PATH", dir.file("a") + ":" + dir.file("c") + ":" + dir.file("b"));
    struct Case {
        std::string name;
        std::string found;
    };
    const std::vector<Case> cases = {
        {"player", dir.file("b/player")},
        {"other", dir.file("c/other")},
        {"missing", ""},
        {"", ""},
        {dir.file("c/other"), dir.file("c/other")},
        {dir.file("a/player"), ""},
        {dir.file("c/player"), ""},
        {dir.file("b/missing"), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(find_program(c.name), c.found);
    }
}

}  // namespace
