// Playing a stream with real players: the demo server serves a short clip made with ffmpeg, in
// MP4 and in Matroska, and wants the token in the Authorization header of every stream request.
// ffprobe and ffmpeg read it with the URL and header that `kojelly stream --json` prints, mpv
// and ffplay play it through `kojelly play`, and without the header it is refused. Stand-in
// players show what the tool hands each kind of player, and how it reports a player that is
// missing or fails. A test that needs a real player skips when that player is not installed;
// the install script installs them.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli_run.hpp"
#include "demo_server.hpp"
#include "http_transport.hpp"
#include "player.hpp"
#include "player_process.hpp"
#include "scratch_dir.hpp"

namespace {

using e2e::Doc;
using e2e::parse;
using e2e::show;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;
using kojelly::cli::DemoStreamRequest;
using kojelly::cli::find_program;
using kojelly::cli::HttpTransport;
using kojelly::cli::TransportOptions;

constexpr auto kServeDeadline = std::chrono::milliseconds(20000);
// Every player run is bounded; the clip plays in well under a second headless, three in real
// time.
constexpr auto kPlayerDeadline = std::chrono::milliseconds(30000);
constexpr const char *kApiKey = "5eed5eed5eed5eed5eed5eed5eed5eed";
constexpr const char *kApiKeyVar = "KJ_PLAY_API_KEY";
using namespace e2e::exits;

const char *member(yyjson_val *obj, const char *name) {
    return yyjson_get_str(yyjson_obj_get(obj, name));
}

// The pieces of a text between NUL bytes, as a stand-in player writes its arguments.
std::vector<std::string> nul_separated(const std::string &text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\0', start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

// The first byte of "bytes FIRST-LAST/SIZE"; -1 for anything else.
long long first_byte(const std::string &content_range) {
    long long first = -1;
    return std::sscanf(content_range.c_str(), "bytes %lld-", &first) == 1 ? first : -1;
}

// `demo --serve --media FILE --stream-auth` names the movie that stands for the file, and prints
// each stream request as it is answered: here one without a token, which is refused.
TEST(PlayServe, ServeNamesTheMediaItemAndPrintsEveryStreamRequest) {
    e2e::ScratchDir dir;
    const std::string media = dir.write("clip.mkv", std::string(1000, 'x'));
    ASSERT_FALSE(media.empty());
    // The library is the same in every run, so an in-process server with the same file knows
    // the id that the tool's server gives the movie.
    DemoOptions same;
    same.media_file = media;
    const std::string id = DemoServer(same).media_item()->id;

    // A port that was free a moment ago, for a server that the test must find.
    DemoServer probe;
    std::string error;
    ASSERT_TRUE(probe.start(error)) << error;
    const int port = probe.port();
    probe.stop();

    e2e::RunRequest run;
    run.program = KOJELLY_CLI_PATH;
    run.args = {"demo",          "--serve", "--media",           media,
                "--stream-auth", "--port",  std::to_string(port)};
    run.terminate_after = "-> 401";
    run.deadline = kServeDeadline;
    ASSERT_TRUE(HttpTransport::global_init(error)) << error;
    // Asks for the stream, without a token, until the server answers.
    std::thread client([&] {
        TransportOptions c;
        c.bypass_proxy = true;
        c.timeout_ms = 2000;
        HttpTransport transport(c);
        const std::string url =
            "http://127.0.0.1:" + std::to_string(port) + "/Videos/" + id + "/stream";
        const char *range = "Range: bytes=0-9";
        const auto until = std::chrono::steady_clock::now() + kServeDeadline;
        while (std::chrono::steady_clock::now() < until) {
            tessel_http_req req{};
            req.size = sizeof req;
            req.method = "GET";
            req.url = url.c_str();
            req.headers = &range;
            req.header_count = 1;
            req.on_header = [](void *, const char *, const char *) -> std::int32_t { return 0; };
            req.on_body = [](void *, const void *, std::uint64_t) -> std::int32_t { return 0; };
            std::int32_t status = 0;
            char *failure = nullptr;
            const tessel_http *http = transport.http();
            const std::int32_t sent = http->request(http->user, &req, &status, &failure);
            if (failure) http->free(http->user, failure);
            if (sent == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        HttpTransport::close_thread_connections();
    });
    const auto r = e2e::run_child(run);
    client.join();
    ASSERT_FALSE(r.timed_out) << show(r);
    EXPECT_EQ(r.status, 0) << show(r);
    for (const std::string &line :
         {"media item: " + id + "\n", "  clip, mkv, 1000 bytes, from " + media + "\n",
          std::string("  streams want the token in the Authorization header"),
          "--api-key-env KOJELLY_API_KEY play " + id + "\n",
          "stream: GET " + id + " Range: bytes=0-9 -> 401\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
}

// A stand-in player: it writes its arguments (NUL after each), the KOJELLY_AUTHORIZATION
// variable, and the files that mpv would read from --include and --playlist into the directory
// KJ_FAKE_OUT, then exits with KJ_FAKE_STATUS; with KJ_FAKE_SLEEP it says so and sleeps instead,
// until a SIGTERM ends it, or makes it exit with KJ_FAKE_ON_TERM when that is set.
constexpr const char *kFakePlayer = R"(#!/bin/sh
out=$KJ_FAKE_OUT
printf '%s\000' "$@" > "$out/args"
printf '%s' "${KOJELLY_AUTHORIZATION-}" > "$out/env"
: > "$out/include"
: > "$out/playlist"
for a in "$@"; do
  case $a in
    --include=*) cat "${a#--include=}" > "$out/include" ;;
    --playlist=*) cat "${a#--playlist=}" > "$out/playlist" ;;
  esac
done
if [ -n "${KJ_FAKE_SLEEP-}" ]; then
  if [ -n "${KJ_FAKE_ON_TERM-}" ]; then
    sleep 30 </dev/null >/dev/null 2>&1 &
    trap 'kill $!; exit "$KJ_FAKE_ON_TERM"' TERM
    echo started
    wait $!
    exit 0
  fi
  echo started
  exec sleep 30
fi
exit "${KJ_FAKE_STATUS:-0}"
)";

// One demo server per container, each serving a clip of three seconds: 160x120 test pattern
// and a sine tone, H.264 and AAC, a key frame every second. Its video is padded to a constant
// 4 Mbit/s (about 1.5 MB in all) so that the middle of the clip lies beyond what a player's
// first request reads ahead on loopback, and a seek there needs a range request of its own.
// Without ffmpeg the servers serve bytes that are no clip, for the stand-in players only.
class PlayTest : public ::testing::Test {
protected:
    struct Clip {
        std::string container;
        std::string path;
        std::unique_ptr<DemoServer> server;
    };

    static void SetUpTestSuite() {
        dir_ = new e2e::ScratchDir;
        ASSERT_FALSE(dir_->path().empty());
        const std::string ffmpeg = find_program("ffmpeg");
        real_clips_ = !ffmpeg.empty();
        const std::string mp4 = dir_->file("clip.mp4");
        const std::string mkv = dir_->file("clip.mkv");
        if (real_clips_) {
            const auto made = run(
                ffmpeg,
                {"-nostdin", "-v",      "error",        "-y",
                 "-f",       "lavfi",   "-i",           "testsrc=size=160x120:rate=25:duration=3",
                 "-f",       "lavfi",   "-i",           "sine=frequency=440:duration=3",
                 "-c:v",     "libx264", "-preset",      "ultrafast",
                 "-g",       "25",      "-b:v",         "4M",
                 "-minrate", "4M",      "-maxrate",     "4M",
                 "-bufsize", "1M",      "-x264-params", "nal-hrd=cbr",
                 "-pix_fmt", "yuv420p", "-c:a",         "aac",
                 "-b:a",     "64k",     "-shortest",    mp4});
            ASSERT_EQ(made.status, 0) << show(made);
            const auto copied =
                run(ffmpeg, {"-nostdin", "-v", "error", "-y", "-i", mp4, "-c", "copy", mkv});
            ASSERT_EQ(copied.status, 0) << show(copied);
        } else {
            ASSERT_FALSE(dir_->write("clip.mp4", std::string(4096, 'm')).empty());
            ASSERT_FALSE(dir_->write("clip.mkv", std::string(4096, 'k')).empty());
        }
        clips_ = new std::vector<Clip>;
        for (const auto &[container, path] : {std::pair{"mp4", mp4}, std::pair{"mkv", mkv}}) {
            DemoOptions o;
            o.api_key = kApiKey;
            o.movies = kFewMovies;
            o.media_file = path;
            o.stream_auth = true;
            Clip clip{container, path, std::make_unique<DemoServer>(o)};
            std::string error;
            ASSERT_TRUE(clip.server->start(error)) << error;
            clips_->push_back(std::move(clip));
        }
    }
    static void TearDownTestSuite() {
        delete clips_;
        clips_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }

    static e2e::RunResult run(const std::string &program, std::vector<std::string> args,
                              e2e::Env env = {}) {
        e2e::RunRequest r;
        r.program = program;
        r.args = std::move(args);
        r.env = std::move(env);
        r.deadline = kPlayerDeadline;
        return e2e::run_child(r);
    }

    // The tool with the server's address and the API key in front of args.
    static e2e::RunResult tool(const Clip &clip, std::vector<std::string> args, e2e::Env env = {}) {
        std::vector<std::string> all = {"--server", clip.server->url(), "--api-key-env",
                                        kApiKeyVar};
        all.insert(all.end(), args.begin(), args.end());
        env.emplace_back(kApiKeyVar, kApiKey);
        return run(KOJELLY_CLI_PATH, std::move(all), std::move(env));
    }

    static std::string item(const Clip &clip) { return clip.server->media_item()->id; }

    // The stream URL and the Authorization header line as `kojelly stream --json` gives them.
    struct Stream {
        std::string url;
        std::string authorization;  // the header's value
        std::string header() const { return "Authorization: " + authorization; }
    };
    static Stream stream(const Clip &clip) {
        const auto r = tool(clip, {"stream", "--json", item(clip)});
        EXPECT_EQ(r.status, 0) << show(r);
        const Doc doc = parse(r.out);
        yyjson_val *root = yyjson_doc_get_root(doc.get());
        const char *url = member(root, "url");
        const char *auth = member(yyjson_obj_get(root, "headers"), "Authorization");
        EXPECT_TRUE(url && auth) << r.out;
        return {url ? url : "", auth ? auth : ""};
    }

    // The stream requests the server answered since the log held `from` of them.
    static std::vector<DemoStreamRequest> since(const Clip &clip, std::size_t from) {
        const auto log = clip.server->stream_log();
        return {log.begin() + static_cast<std::ptrdiff_t>(std::min(from, log.size())), log.end()};
    }

    // Every request answered with the stream's bytes, and at least one of them.
    static void expect_streamed(const std::vector<DemoStreamRequest> &requests) {
        EXPECT_FALSE(requests.empty()) << "no stream request reached the server";
        for (const DemoStreamRequest &r : requests) {
            EXPECT_TRUE(r.status == 200 || r.status == 206)
                << r.method << " " << r.range << " -> " << r.status;
        }
    }

    // Plays every clip with the player, both by `kojelly play` and by the command that
    // `kojelly play --print` prints, run by a POSIX shell; checks that the player ended well and
    // that every stream request was served, then hands its run to check.
    static void play_each_way(const std::string &player, const std::vector<std::string> &args,
                              const e2e::Env &env,
                              const std::function<void(const e2e::RunResult &)> &check) {
        for (const Clip &clip : *clips_) {
            for (const bool print : {false, true}) {
                SCOPED_TRACE(clip.container + (print ? ", printed and run by sh" : ", run"));
                std::vector<std::string> command = {"play", "--player", player};
                for (const std::string &a : args) command.push_back("--player-arg=" + a);
                if (print) command.emplace_back("--print");
                command.push_back(item(clip));
                const std::size_t before = clip.server->stream_log().size();
                auto r = tool(clip, command, env);
                if (print) {
                    ASSERT_EQ(r.status, 0) << show(r);
                    ASSERT_EQ(e2e::lines_of(r.out).size(), 1u) << r.out;
                    r = run("/bin/sh", {"-c", r.out}, env);
                }
                ASSERT_FALSE(r.timed_out) << show(r);
                EXPECT_EQ(r.status, 0) << show(r);
                expect_streamed(since(clip, before));
                check(r);
            }
        }
    }

    static constexpr int kFewMovies = 20;
    static e2e::ScratchDir *dir_;
    static bool real_clips_;
    static std::vector<Clip> *clips_;
};

e2e::ScratchDir *PlayTest::dir_ = nullptr;
bool PlayTest::real_clips_ = false;
std::vector<PlayTest::Clip> *PlayTest::clips_ = nullptr;

// Skips the test when a program it needs is missing: a player, or ffmpeg for the clip.
#define NEED_PROGRAM(var, name)                                                             \
    const std::string var = find_program(name);                                             \
    if (var.empty()) GTEST_SKIP() << name << " is not installed (scripts/install-deps.sh)"; \
    if (!real_clips_) GTEST_SKIP() << "ffmpeg is not installed, so there is no clip to play"

TEST_F(PlayTest, FfprobeReadsTheContainerTheDurationAndBothStreams) {
    NEED_PROGRAM(ffprobe, "ffprobe");
    for (const Clip &clip : *clips_) {
        SCOPED_TRACE(clip.container);
        const Stream s = stream(clip);
        const std::size_t before = clip.server->stream_log().size();
        const auto r =
            run(ffprobe, {"-v", "error", "-headers", s.header() + "\r\n", "-show_entries",
                          "format=format_name,duration,size:stream=codec_type,codec_name", "-of",
                          "json", s.url});
        ASSERT_EQ(r.status, 0) << show(r);
        expect_streamed(since(clip, before));

        const Doc doc = parse(r.out);
        yyjson_val *format = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "format");
        ASSERT_TRUE(yyjson_is_obj(format)) << r.out;
        const std::string name = member(format, "format_name") ? member(format, "format_name") : "";
        EXPECT_NE(name.find(clip.container == "mp4" ? "mp4" : "matroska"), std::string::npos)
            << name;
        const double duration =
            std::atof(member(format, "duration") ? member(format, "duration") : "0");
        EXPECT_NEAR(duration, 3.0, 0.1);
        EXPECT_EQ(std::string(member(format, "size") ? member(format, "size") : ""),
                  std::to_string(clip.server->media_item()->size));

        std::vector<std::string> streams;
        yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "streams");
        std::size_t i = 0;
        std::size_t max = 0;
        yyjson_val *one = nullptr;
        yyjson_arr_foreach(list, i, max, one) {
            streams.push_back(
                std::string(member(one, "codec_type") ? member(one, "codec_type") : "?") + " " +
                (member(one, "codec_name") ? member(one, "codec_name") : "?"));
        }
        EXPECT_EQ(streams, (std::vector<std::string>{"video h264", "audio aac"}));
    }
}

// A second from the middle of the clip, decoded through the server, is frame for frame what the
// same command decodes from the file itself; the seek reached the server as a range request that
// starts inside the clip's middle half.
TEST_F(PlayTest, FfmpegSeeksIntoTheMiddleThroughRangeRequests) {
    NEED_PROGRAM(ffmpeg, "ffmpeg");
    for (const Clip &clip : *clips_) {
        SCOPED_TRACE(clip.container);
        const Stream s = stream(clip);
        const std::vector<std::string> second = {"-t", "1", "-f", "framemd5", "-"};
        const auto command = [&](std::vector<std::string> input) {
            std::vector<std::string> args = {"-nostdin", "-v", "error"};
            args.insert(args.end(), input.begin(), input.end());
            args.insert(args.end(), second.begin(), second.end());
            return args;
        };
        const std::size_t before = clip.server->stream_log().size();
        const auto remote =
            run(ffmpeg, command({"-headers", s.header() + "\r\n", "-ss", "1.5", "-i", s.url}));
        ASSERT_EQ(remote.status, 0) << show(remote);
        const auto local = run(ffmpeg, command({"-ss", "1.5", "-i", clip.path}));
        ASSERT_EQ(local.status, 0) << show(local);
        EXPECT_TRUE(remote.out == local.out) << "the frames decoded through the server differ";
        std::size_t video_frames = 0;
        for (const std::string &line : e2e::lines_of(remote.out))
            video_frames += line.rfind("0,", 0) == 0;
        EXPECT_GE(video_frames, 20u) << remote.out;

        const auto requests = since(clip, before);
        expect_streamed(requests);
        const long long size = clip.server->media_item()->size;
        bool middle = false;
        for (const DemoStreamRequest &r : requests) {
            const long long first = first_byte(r.content_range);
            middle = middle || (r.status == 206 && first >= size / 4 && first <= size * 3 / 4);
        }
        EXPECT_TRUE(middle) << "no 206 answer starts in the middle of the clip";
    }
}

// The URL alone, although its query carries the token, is refused: the server honours the
// header only.
TEST_F(PlayTest, WithoutTheHeaderTheStreamIsRefused) {
    NEED_PROGRAM(ffprobe, "ffprobe");
    for (const Clip &clip : *clips_) {
        SCOPED_TRACE(clip.container);
        const Stream s = stream(clip);
        ASSERT_NE(s.url.find(kApiKey), std::string::npos) << "the URL carries the token";
        const std::size_t before = clip.server->stream_log().size();
        const auto r = run(ffprobe, {"-v", "error", "-show_entries", "format=duration", s.url});
        EXPECT_NE(r.status, 0) << show(r);
        EXPECT_NE(r.err.find("401"), std::string::npos) << r.err;
        const auto requests = since(clip, before);
        ASSERT_FALSE(requests.empty());
        for (const DemoStreamRequest &q : requests) EXPECT_EQ(q.status, 401);
    }
}

TEST_F(PlayTest, MpvPlaysTheStreamToTheEnd) {
    NEED_PROGRAM(mpv, "mpv");
    // Headless, and as fast as it decodes; no user configuration.
    play_each_way("mpv",
                  {"--no-config", "--vo=null", "--ao=null", "--ao-null-untimed", "--untimed"}, {},
                  [](const e2e::RunResult &r) {
                      EXPECT_NE((r.out + r.err).find("Exiting... (End of file)"), std::string::npos)
                          << show(r);
                  });
}

TEST_F(PlayTest, FfplayPlaysTheStreamToTheEnd) {
    NEED_PROGRAM(ffplay, "ffplay");
    // No window, and an audio device that needs no hardware; -autoexit ends it at the end.
    // ffplay plays in real time, so it starts at two seconds, a seek of its own.
    play_each_way("ffplay", {"-nodisp", "-autoexit", "-loglevel", "error", "-ss", "2"},
                  {{"SDL_AUDIODRIVER", "dummy"}}, [](const e2e::RunResult &r) {
                      EXPECT_EQ(r.err.find("401"), std::string::npos) << show(r);
                  });
}

// Stand-in players under the four names the tool tells apart, first on PATH, with a directory
// for what they saw.
class FakePlayers {
public:
    FakePlayers() {
        std::filesystem::create_directory(dir_.file("bin"));
        std::filesystem::create_directory(dir_.file("out"));
        for (const char *name : {"mpv", "ffplay", "vlc", "myplayer"})
            EXPECT_FALSE(dir_.write(std::string("bin/") + name, kFakePlayer, 0755).empty());
    }
    const e2e::ScratchDir &dir() const { return dir_; }
    e2e::Env env(e2e::Env more = {}) const {
        more.emplace_back("PATH", dir_.file("bin") + ":/usr/bin:/bin");
        more.emplace_back("KJ_FAKE_OUT", dir_.file("out"));
        return more;
    }
    std::string seen(const std::string &what) const {
        return e2e::ScratchDir::read(dir_.file("out/" + what));
    }

private:
    e2e::ScratchDir dir_;
};

// "/dev/fd/" and a number becomes "/dev/fd/N": which descriptors the files get does not matter.
std::string any_descriptor(std::string arg) {
    const std::string fd = "/dev/fd/";
    const auto at = arg.find(fd);
    if (at == std::string::npos) return arg;
    auto end = at + fd.size();
    while (end < arg.size() && std::isdigit(static_cast<unsigned char>(arg[end]))) ++end;
    if (end == at + fd.size()) return arg;
    return arg.replace(at + fd.size(), end - at - fd.size(), "N");
}

// What each kind of player is handed, with one argument of the user's. mpv reads the header and
// the URL from files that the tool makes for it, so its command line holds neither the token
// nor the URL; ffplay has the header on its command line; vlc cannot send it; any other program
// finds the header's value in its environment.
TEST_F(PlayTest, EachPlayerGetsTheHeaderItsOwnWay) {
    const FakePlayers fake;
    const Clip &clip = clips_->front();
    const Stream s = stream(clip);
    const std::string header = s.header();
    struct Case {
        const char *player;
        std::vector<std::string> args;
        std::string include;  // what the file of --include held
        std::string playlist;
        std::string env;  // KOJELLY_AUTHORIZATION
        bool warns;       // that the header cannot be sent
    };
    const std::vector<Case> cases = {
        {"mpv",
         {"--ytdl=no", "--force-media-title=clip", "--include=/dev/fd/N", "--extra",
          "--playlist=/dev/fd/N"},
         "http-header-fields-append=%" + std::to_string(header.size()) + "%" + header + "\n",
         s.url + "\n",
         "",
         false},
        {"ffplay",
         {"-headers", header + "\r\n", "-window_title", "clip", "--extra", s.url},
         "",
         "",
         "",
         false},
        {"vlc", {"--meta-title=clip", "--extra", s.url}, "", "", "", true},
        {"myplayer", {"--extra", s.url}, "", "", s.authorization, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.player);
        const auto r = tool(
            clip, {"play", "--player", c.player, "--player-arg=--extra", item(clip)}, fake.env());
        ASSERT_EQ(r.status, 0) << show(r);
        std::vector<std::string> args = nul_separated(fake.seen("args"));
        for (std::string &a : args) a = any_descriptor(a);
        EXPECT_EQ(args, c.args);
        EXPECT_EQ(fake.seen("include"), c.include);
        EXPECT_EQ(fake.seen("playlist"), c.playlist);
        EXPECT_EQ(fake.seen("env"), c.env);
        EXPECT_EQ(r.err.find("has no option for a request header") != std::string::npos, c.warns)
            << r.err;
        if (std::string(c.player) == "mpv") {
            for (const std::string &a : args) EXPECT_EQ(a.find(kApiKey), std::string::npos) << a;
        }
    }
}

TEST_F(PlayTest, ExitStatusSaysWhyThePlayerDidNotPlay) {
    const FakePlayers fake;
    const std::string not_executable = fake.dir().write("not-executable", kFakePlayer, 0644);
    ASSERT_FALSE(not_executable.empty());
    const e2e::ScratchDir empty;
    const e2e::Env nothing_on_path = {{"PATH", empty.path()}};
    struct Case {
        const char *name;
        std::string player;
        e2e::Env env;
        bool print;
        int status;
        std::string message;
        bool asks_server;  // a missing player is found out before the server is asked
    };
    const std::vector<Case> cases = {
        {"a name on no PATH entry", "kj-no-such-player", fake.env(), false, kExitNoPlayer,
         "the player kj-no-such-player is not installed (no program of that name on PATH)", false},
        {"mpv with nothing on PATH", "mpv", nothing_on_path, false, kExitNoPlayer,
         "the player mpv is not installed", false},
        {"a path to nothing", "/nonexistent/mpv", fake.env(), false, kExitNoPlayer,
         "the player /nonexistent/mpv is not installed (no executable file there)", false},
        {"a file that is not executable", not_executable, fake.env(), false, kExitNoPlayer,
         "(no executable file there)", false},
        {"a player that fails", "mpv", fake.env({{"KJ_FAKE_STATUS", "3"}}), false, kExitPlayer,
         "the player mpv exited with status 3", true},
        {"a player that succeeds", "myplayer", fake.env(), false, 0, "", true},
        {"--print with nothing on PATH", "mpv", nothing_on_path, true, 0, "", true},
    };
    const Clip &clip = clips_->front();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int asked = clip.server->stats().playback;
        std::vector<std::string> args = {"play", "--player", c.player, item(clip)};
        if (c.print) args.emplace_back("--print");
        const auto r = tool(clip, args, c.env);
        EXPECT_EQ(r.status, c.status) << show(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(clip.server->stats().playback > asked, c.asks_server);
        if (c.print) {
            EXPECT_EQ(r.out.rfind("mpv --ytdl=no ", 0), 0u) << r.out;
        }
    }
}

// A SIGTERM to the tool reaches the player, which would otherwise go on for 30 seconds. The
// user stopped the playback, so the tool ends by the same signal and says nothing of a failed
// player, whether the signal ended the player or the player exited with a status of its own.
TEST_F(PlayTest, TerminatingTheToolEndsThePlayerAndTheTool) {
    const FakePlayers fake;
    const Clip &clip = clips_->front();
    struct Case {
        const char *name;
        e2e::Env player;
    };
    const std::vector<Case> cases = {
        {"a player that the signal ends", {}},
        {"a player that exits with 4", {{"KJ_FAKE_ON_TERM", "4"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Env env = {{kApiKeyVar, kApiKey}, {"KJ_FAKE_SLEEP", "1"}};
        env.insert(env.end(), c.player.begin(), c.player.end());
        e2e::RunRequest r;
        r.program = KOJELLY_CLI_PATH;
        r.args = {"--server", clip.server->url(), "--api-key-env", kApiKeyVar,
                  "play",     "--player",         "myplayer",      item(clip)};
        r.env = fake.env(env);
        r.terminate_after = "started\n";
        r.deadline = std::chrono::milliseconds(20000);
        const auto started = std::chrono::steady_clock::now();
        const auto result = e2e::run_child(r);
        const auto took = std::chrono::steady_clock::now() - started;
        ASSERT_FALSE(result.timed_out) << show(result);
        EXPECT_EQ(result.status, 128 + SIGTERM) << show(result);
        EXPECT_EQ(result.err.find("the player"), std::string::npos) << result.err;
        EXPECT_LT(took, std::chrono::seconds(15));
    }
}

}  // namespace
