// Playing a stream: the demo server serving a real file, and the tool's play command.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli_run.hpp"
#include "curl_transport.hpp"
#include "demo_server.hpp"
#include "scratch_dir.hpp"

namespace {

using e2e::show;
using kojelly::cli::CurlOptions;
using kojelly::cli::CurlTransport;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;

constexpr auto kServeDeadline = std::chrono::milliseconds(20000);

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
    run.args = {"demo", "--serve", "--media", media, "--stream-auth", "--port",
                std::to_string(port)};
    run.terminate_after = "-> 401";
    run.deadline = kServeDeadline;
    ASSERT_TRUE(CurlTransport::global_init(error)) << error;
    // Asks for the stream, without a token, until the server answers.
    std::thread client([&] {
        CurlOptions c;
        c.bypass_proxy = true;
        c.timeout_ms = 2000;
        CurlTransport transport(c);
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
        CurlTransport::close_thread_connections();
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

}  // namespace
