// A user's first runs of the tool against a server, end to end: what is missing is said in the
// words of the options, a misspelt or malformed settings file is pointed out without a word of
// its values, each trap of the address (a port left out, the wrong scheme, a certificate the
// system does not trust, a wrong or missing base path) ends in the plug-in's message and a hint
// with the exit status unchanged, and `demo --serve` takes its secrets from the caller, so that
// the same commands work against every run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "background_child.hpp"
#include "cli_run.hpp"
#include "demo_server.hpp"
#include "scratch_dir.hpp"

namespace {

using e2e::BackgroundChild;
using e2e::closed_port;
using e2e::kojelly;
using e2e::lines_of;
using e2e::ScratchDir;
using e2e::show;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;

constexpr const char *kUser = "demo";
constexpr const char *kPassword = "first-run-password";
constexpr const char *kApiKey = "fedcba9876543210fedcba9876543210";
constexpr const char *kPasswordVar = "KJ_FIRST_RUN_PASSWORD";
constexpr const char *kApiKeyVar = "KJ_FIRST_RUN_API_KEY";

using namespace e2e::exits;

constexpr auto kServerStart = std::chrono::seconds(20);

DemoOptions server_options() {
    DemoOptions o;
    o.user = kUser;
    o.password = kPassword;
    o.api_key = kApiKey;
    return o;
}

e2e::Env secrets() {
    return {{kPasswordVar, kPassword}, {kApiKeyVar, kApiKey}};
}

// Whether a connection to 127.0.0.1:port is refused, as it is where nothing listens.
bool refused(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    const int why = errno;
    close(fd);
    return !connected && why == ECONNREFUSED;
}

// What a failed run must show: the plug-in's message as the line before the hint, the hint as the
// last line of standard error (or no hint line at all), and no secret anywhere.
void expect_failure(const e2e::RunResult &r, int exit, const std::string &message,
                    const std::string &hint) {
    EXPECT_EQ(r.status, exit) << show(r);
    EXPECT_TRUE(r.out.empty()) << r.out;
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_FALSE(lines.empty()) << show(r);
    const bool hinted = lines.back().rfind("kojelly: hint: ", 0) == 0;
    if (hint.empty()) {
        EXPECT_EQ(r.err.find("hint:"), std::string::npos) << r.err;
        EXPECT_NE(lines.back().find(message), std::string::npos) << r.err;
    } else {
        ASSERT_TRUE(hinted) << r.err;
        EXPECT_NE(lines.back().find(hint), std::string::npos) << r.err;
        ASSERT_GE(lines.size(), 2u) << r.err;
        EXPECT_NE(lines[lines.size() - 2].find(message), std::string::npos) << r.err;
        EXPECT_NE(lines[lines.size() - 2].find("(status -"), std::string::npos) << r.err;
    }
    for (const char *secret : {kPassword, kApiKey}) {
        EXPECT_EQ(r.err.find(secret), std::string::npos) << "a secret in a message: " << r.err;
    }
}

class FirstRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new DemoServer(server_options());
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static std::string url() { return server_->url(); }
    // "127.0.0.1:PORT"
    static std::string host_port() { return url().substr(std::string("http://").size()); }

    ScratchDir scratch_;
    static DemoServer *server_;
};

DemoServer *FirstRunTest::server_ = nullptr;

// Without an address or a credential the command line is wrong: said before the plug-in is asked,
// and before a password is read, in the words of the options.
TEST_F(FirstRunTest, MissingSettingsAreUsageErrorsNamingTheOptions) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        const char *file;  // a settings file's text, given with --settings; nullptr: none
        std::string message;
    };
    const std::string no_server = "--server URL is required: the server's address, e.g. --server";
    const std::string no_credential =
        "credentials are required: --user NAME with --password-stdin or --password-env VAR, or "
        "an API key with --api-key-env VAR";
    const std::vector<Case> cases = {
        {"ls without --server", {"--api-key-env", kApiKeyVar, "ls"}, nullptr, no_server},
        {"validate without credentials", {"--server", url(), "validate"}, nullptr, no_credential},
        {"stream without --server",
         {"--api-key-env", kApiKeyVar, "stream", "x"},
         nullptr,
         no_server},
        {"play without credentials", {"--server", url(), "play", "x"}, nullptr, no_credential},
        {"tree, before the password is read",
         {"--user", kUser, "--password-stdin", "tree"},
         nullptr,
         no_server},
        {"a file without an address",
         {"validate"},
         R"({"UserName":"demo","Password":"first-run-password"})",
         "--server URL is required (or FullUrl in the settings file "},
        {"a file without a credential",
         {"ls"},
         "{\"FullUrl\":\"http://127.0.0.1:1\"}",
         no_credential + " (or UserName and Password, or APIKey, in the settings file "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        if (c.file) args.insert(args.begin(), {"--settings", scratch_.write("s.json", c.file)});
        const auto r = kojelly(args, secrets());
        EXPECT_EQ(r.status, kExitUsage) << show(r);
        EXPECT_NE(r.err.find("kojelly: " + c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("(kojelly --help shows the usage)"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("status -8"), std::string::npos) << "the plug-in was asked: " << r.err;
        EXPECT_EQ(r.err.find(kPassword), std::string::npos) << r.err;
    }
}

// A member the plug-in does not read is pointed out, with the one it most likely meant; a file
// that is not JSON is located. Neither repeats a value of the file.
TEST_F(FirstRunTest, SettingsFileMistakesArePointedOutWithoutItsValues) {
    const std::string address = "\"FullUrl\":\"" + url() + "\"";
    const std::string warning = "kojelly: warning: the settings file ";
    struct Case {
        const char *name;
        std::string text;
        int exit;
        std::vector<std::string> said;  // each somewhere on standard error
    };
    const std::vector<Case> cases = {
        {"misspelt members beside the right ones",
         "{" + address + ",\"UserName\":\"demo\",\"Password\":\"first-run-password\"," +
             "\"Pasword\":\"typo-value-1\",\"ApiKey\":\"typo-value-2\",\"Colour\":\"typo-value-"
             "3\"}",
         0,
         {"\"Pasword\" is not a setting the plug-in reads, so it is ignored (did you mean "
          "\"Password\"?)\n",
          "\"ApiKey\" is not a setting the plug-in reads, so it is ignored (did you mean "
          "\"APIKey\"?)\n",
          "\"Colour\" is not a setting the plug-in reads, so it is ignored\n"}},
        {"a misspelt user name leaves no credential",
         "{" + address + ",\"Username\":\"demo\",\"Password\":\"first-run-password\"}",
         kExitUsage,
         {"\"Username\" is not a setting the plug-in reads, so it is ignored (did you mean "
          "\"UserName\"?)",
          "kojelly: credentials are required"}},
        {"a misspelt address leaves none",
         "{\"FullURL\":\"http://typo-value-1\",\"APIKey\":\"typo-value-2\"}",
         kExitUsage,
         {"(did you mean \"FullUrl\"?)", "kojelly: --server URL is required (or FullUrl"}},
        {"a trailing comma",
         "{\n  " + address + ",\n  \"UserName\": \"demo\",\n  \"Password\": \"typo-value-1\",\n}\n",
         kExitTool,
         {"is not valid JSON at line 4, column 29: trailing comma is not allowed\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratch_.write("settings.json", c.text);
        const auto r = kojelly({"--settings", path, "validate"});
        EXPECT_EQ(r.status, c.exit) << show(r);
        for (const std::string &text : c.said)
            EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        for (const char *value : {"typo-value-1", "typo-value-2", "typo-value-3", kPassword})
            EXPECT_EQ(r.err.find(value), std::string::npos) << "a value was quoted: " << r.err;
        if (c.exit == 0) {
            EXPECT_EQ(lines_of(r.err).size(), c.said.size()) << "one warning a member: " << r.err;
            EXPECT_NE(r.err.find(warning + path + ": "), std::string::npos) << r.err;
        }
    }
}

// The traps the plain-HTTP demo server can show: each failure keeps its message and exit status
// and gains a hint naming the option and the corrected address; a failure that is no trap gains
// none.
TEST_F(FirstRunTest, AddressTrapsEndInAHint) {
    DemoOptions without_root = server_options();
    // What a server with a base path answers at its root.
    without_root.faults.push_back({"/System/Info/Public", 404, "Not Found", "text/plain", 0});
    DemoServer based(without_root);
    std::string error;
    ASSERT_TRUE(based.start(error)) << error;

    const std::string file = scratch_.write("https.json", "{\"FullUrl\":\"https://" + host_port() +
                                                              "\",\"APIKey\":\"" + kApiKey + "\"}");
    struct Case {
        const char *name;
        std::vector<std::string> args;
        int exit;
        std::string message;  // in the plug-in's line
        std::string hint;     // "": no hint
    };
    const std::string closed = "http://127.0.0.1:" + std::to_string(closed_port());
    const std::vector<Case> cases = {
        {"https to a plain HTTP server",
         {"--server", "https://" + host_port(), "--api-key-env", kApiKeyVar, "validate"},
         kExitTransport,
         "GET https://" + host_port() + "/System/Info/Public: ",
         "the TLS handshake with " + host_port() +
             " failed: the server may speak plain HTTP there: try --server http://" + host_port()},
        {"the same in a settings file's FullUrl",
         {"--settings", file, "validate"},
         kExitTransport,
         "GET https://" + host_port() + "/System/Info/Public: ",
         "try \"FullUrl\": \"http://" + host_port() + "\" in the settings file"},
        {"a base path the server does not have",
         {"--server", url() + "/jellyfin", "--api-key-env", kApiKeyVar, "validate"},
         kExitTransport,
         "/jellyfin/System/Info/Public answered HTTP 404",
         "the server answered 404 below the address's path /jellyfin: that path may be wrong, as "
         "it must be the server's base URL setting (none unless one was set): try --server " +
             url()},
        {"the same, logging in for a listing",
         {"--server", url() + "/jellyfin/", "--user", kUser, "--password-env", kPasswordVar, "ls"},
         kExitFail,
         "/jellyfin/Users/AuthenticateByName answered HTTP 404",
         "below the address's path /jellyfin: that path may be wrong"},
        {"a base path left out",
         {"--server", based.url(), "--api-key-env", kApiKeyVar, "validate"},
         kExitTransport,
         "/System/Info/Public answered HTTP 404",
         "the server answered 404 at this address: it may have a base URL set (a path such as "
         "/jellyfin in its network settings), which belongs at the end of the address: try "
         "--server " +
             based.url() + "/jellyfin"},
        // No trap: the port was typed, the item is missing, the password is wrong.
        {"a port typed, nothing there",
         {"--server", closed, "--api-key-env", kApiKeyVar, "validate"},
         kExitTransport,
         "Failed to connect to 127.0.0.1",
         ""},
        {"an item that is not there",
         {"--server", url(), "--api-key-env", kApiKeyVar, "ls", "00000000000000000000000000000000"},
         kExitNotFound,
         "does not exist",
         ""},
        {"a wrong password",
         {"--server", url(), "--user", kUser, "--password-env", kApiKeyVar, "validate"},
         kExitAuth,
         "answered HTTP 401",
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        expect_failure(kojelly(c.args, secrets()), c.exit, c.message, c.hint);
    }
}

// An address without a port means port 80. Whether something listens there is the machine's
// business, so the test runs only where 127.0.0.1:80 refuses a connection; the table of
// Hints.EachTrapGetsItsHintAndNothingElseGetsOne covers the decision everywhere.
TEST_F(FirstRunTest, AnAddressWithoutAPortGetsTheServersUsualPort) {
    if (!refused(80)) GTEST_SKIP() << "127.0.0.1:80 does not refuse connections on this machine";
    for (const char *server : {"127.0.0.1", "http://127.0.0.1/"}) {
        SCOPED_TRACE(server);
        expect_failure(
            kojelly({"--server", server, "--api-key-env", kApiKeyVar, "validate"}, secrets()),
            kExitTransport, "Failed to connect to 127.0.0.1 port 80",
            "an address without a port means port 80 for http://, and nothing "
            "answered there; Jellyfin and Emby listen on port 8096 by default: try "
            "--server http://127.0.0.1:8096");
    }
}

// A TLS server with a certificate made for the test: `openssl s_server`, which answers every
// GET with a page of its own.
class TlsTrapTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string openssl = e2e::find_program("openssl");
        if (openssl.empty())
            GTEST_SKIP() << "the openssl command is not installed (scripts/install-deps.sh "
                            "installs it): the TLS traps are not tested";
        ASSERT_FALSE(scratch_.path().empty());
        const std::string key = scratch_.file("key.pem");
        const std::string cert = scratch_.file("cert.pem");
        e2e::RunRequest make;
        make.program = openssl;
        make.args = {"req",    "-x509",    "-newkey",
                     "ec",     "-pkeyopt", "ec_paramgen_curve:P-256",
                     "-nodes", "-keyout",  key,
                     "-out",   cert,       "-days",
                     "1",      "-subj",    "/CN=127.0.0.1"};
        const auto made = e2e::run_child(make);
        ASSERT_EQ(made.status, 0) << show(made);
        server_ = std::make_unique<BackgroundChild>(
            openssl, std::vector<std::string>{"s_server", "-accept", "127.0.0.1:0", "-cert", cert,
                                              "-key", key, "-www"});
        ASSERT_TRUE(server_->error().empty()) << server_->error();
        const std::string port =
            server_->wait_for_match("ACCEPT 127\\.0\\.0\\.1:([0-9]+)\n", kServerStart);
        ASSERT_FALSE(port.empty()) << server_->output();
        host_port_ = "127.0.0.1:" + port;
    }

    ScratchDir scratch_;
    std::unique_ptr<BackgroundChild> server_;
    std::string host_port_;
};

TEST_F(TlsTrapTest, TheOtherSchemeAndAnUntrustedCertificateEndInAHint) {
    struct Case {
        const char *name;
        std::string server;
        std::vector<std::string> more;
        int exit;
        std::string message;
        std::string hint;
    };
    const std::vector<Case> cases = {
        {"http to a TLS server",
         "http://" + host_port_,
         {},
         kExitTransport,
         "GET http://" + host_port_ + "/System/Info/Public: ",
         host_port_ +
             " gave no HTTP answer: the server may expect HTTPS (TLS) there: try --server "
             "https://" +
             host_port_},
        {"a self-signed certificate",
         "https://" + host_port_,
         {},
         kExitTransport,
         "GET https://" + host_port_ + "/System/Info/Public: ",
         "the server's TLS certificate is not trusted on this machine (self-signed, from an "
         "unknown authority, or made out to another name); if you trust this server, --insecure "
         "accepts any certificate, but gives up the proof that you reach this server and not "
         "someone in between who could read the credentials"},
        // Accepted, the certificate gets no hint: the page that answers is no server's.
        {"the certificate accepted",
         "https://" + host_port_,
         {"--insecure"},
         kExitFail,
         "not a JSON object",
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--server", c.server, "--api-key-env", kApiKeyVar,
                                         "validate"};
        args.insert(args.end(), c.more.begin(), c.more.end());
        expect_failure(kojelly(args, secrets()), c.exit, c.message, c.hint);
    }
}

// The demo server takes the API key and the password from the variables that the options name,
// so that a documented example works against every run; its banner names the variables, never
// the values.
TEST(FirstRunDemo, ServeTakesItsSecretsFromTheCaller) {
    const std::string key = "00112233445566778899aabbccddeeff";
    const std::string password = "chosen-demo-password";
    BackgroundChild demo(
        KOJELLY_CLI_PATH,
        {"demo", "--serve", "--api-key-env", "KJ_DEMO_KEY", "--password-env", "KJ_DEMO_PASSWORD"},
        {{"KJ_DEMO_KEY", key}, {"KJ_DEMO_PASSWORD", password}});
    ASSERT_TRUE(demo.error().empty()) << demo.error();
    const std::string server =
        demo.wait_for_match("listening on (http://[0-9.:]+)\n", kServerStart);
    ASSERT_FALSE(server.empty()) << demo.output();
    ASSERT_TRUE(demo.wait_for("Ctrl-C", kServerStart)) << demo.output();
    const std::string banner = demo.output();
    EXPECT_EQ(banner.find(key), std::string::npos) << banner;
    EXPECT_EQ(banner.find(password), std::string::npos) << banner;
    EXPECT_NE(banner.find("KJ_DEMO_KEY"), std::string::npos) << banner;
    EXPECT_NE(banner.find("KJ_DEMO_PASSWORD"), std::string::npos) << banner;

    struct Case {
        const char *name;
        std::vector<std::string> args;
        e2e::Env env;
        int exit;
    };
    const std::vector<Case> cases = {
        {"the key given", {"--api-key-env", "KJ_DEMO_KEY"}, {{"KJ_DEMO_KEY", key}}, 0},
        {"the password given",
         {"--user", "demo", "--password-env", "KJ_DEMO_PASSWORD"},
         {{"KJ_DEMO_PASSWORD", password}},
         0},
        {"another key",
         {"--api-key-env", "KJ_DEMO_KEY"},
         {{"KJ_DEMO_KEY", std::string(32, 'f')}},
         kExitAuth},
        {"the default password",
         {"--user", "demo", "--password-env", "KJ_DEMO_PASSWORD"},
         {{"KJ_DEMO_PASSWORD", "demo"}},
         kExitAuth},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--server", server};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("validate");
        const auto r = kojelly(args, c.env);
        EXPECT_EQ(r.status, c.exit) << show(r);
    }
}

}  // namespace
