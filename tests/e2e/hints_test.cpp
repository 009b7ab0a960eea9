// The tool's hints after a failure: which trap fits what the transport saw, the exit status and
// the address as the user typed it, and how the corrected address is written.
#include "cli_run.hpp"
#include "hints.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using kojelly::cli::AddressSource;
using kojelly::cli::hint_for;
using kojelly::cli::TransportFailure;
using kojelly::cli::TransportRecord;
using kojelly::cli::typed_address;
using kojelly::cli::TypedAddress;

using namespace e2e::exits;

// Nothing answered: the last exchange failed thus.
TransportRecord unanswered(TransportFailure failure) {
    TransportRecord r;
    r.last_failure = failure;
    return r;
}

// The last exchange was answered with status; succeeded tells whether an earlier one got a 2xx.
TransportRecord answered(std::int32_t status, bool succeeded = false) {
    TransportRecord r;
    r.last_status = status;
    r.answered = true;
    r.succeeded = succeeded;
    return r;
}

TypedAddress option(const char *text) {
    return {text, AddressSource::option, "FullUrl"};
}

TEST(Hints, EachTrapGetsItsHintAndNothingElseGetsOne) {
    struct Case {
        const char *name;
        TypedAddress address;
        TransportRecord record;
        int exit;
        const char *hint;  // a part of the hint; nullptr: no hint at all
    };
    const std::vector<Case> cases = {
        // A port left out means 80 or 443, where a media server rarely listens.
        {"no port, refused", option("127.0.0.1"), unanswered(TransportFailure::cannot_connect),
         kExitTransport,
         "port 80 for http://, and nothing answered there; Jellyfin and Emby listen on port 8096 "
         "by default: try --server http://127.0.0.1:8096"},
        {"no port, a path kept", option("http://media.lan/jf/"),
         unanswered(TransportFailure::cannot_connect), kExitTransport,
         "try --server http://media.lan:8096/jf"},
        {"no port, https", option("HTTPS://media.lan"),
         unanswered(TransportFailure::cannot_connect), kExitTransport,
         "port 443 for https://, and nothing answered there; Jellyfin and Emby listen on port "
         "8096 by default (8920 for HTTPS, where it is set up): try --server "
         "https://media.lan:8920 or http://media.lan:8096"},
        {"no port, IPv6", option("http://[::1]"), unanswered(TransportFailure::cannot_connect),
         kExitTransport, "try --server http://[::1]:8096"},
        {"no port, from the file's FullUrl",
         {"media.lan", AddressSource::full_url, "FullUrl"},
         unanswered(TransportFailure::cannot_connect),
         kExitTransport,
         "try \"FullUrl\": \"http://media.lan:8096\" in the settings file"},
        {"a port typed", option("http://127.0.0.1:8096"),
         unanswered(TransportFailure::cannot_connect), kExitTransport, nullptr},
        {"ServerUrl, whose port is 8096 unless given",
         {"media.lan", AddressSource::host_member, "ServerUrl"},
         unanswered(TransportFailure::cannot_connect),
         kExitTransport,
         nullptr},
        {"no port, but timed out rather than refused", option("media.lan"),
         unanswered(TransportFailure::timeout), kExitTransport, nullptr},
        {"no port, refused after the server had answered", option("media.lan"),
         [] {
             TransportRecord r = answered(200, true);
             r.last_failure = TransportFailure::cannot_connect;
             r.last_status = 0;
             return r;
         }(),
         kExitTransport, nullptr},

        // The scheme the server does not speak on that port.
        {"https to plain HTTP", option("https://media.lan:8096/jf"),
         unanswered(TransportFailure::tls_handshake), kExitTransport,
         "the TLS handshake with media.lan:8096 failed: the server may speak plain HTTP there: "
         "try --server http://media.lan:8096/jf"},
        {"https to plain HTTP, no port", option("https://media.lan"),
         unanswered(TransportFailure::tls_handshake), kExitTransport,
         "try --server http://media.lan:443"},
        {"a handshake failure with http typed", option("http://media.lan:8096"),
         unanswered(TransportFailure::tls_handshake), kExitTransport, nullptr},
        {"http to TLS", option("http://media.lan:8920"),
         unanswered(TransportFailure::no_http_answer), kExitTransport,
         "media.lan:8920 gave no HTTP answer: the server may expect HTTPS (TLS) there: try "
         "--server https://media.lan:8920"},
        {"no scheme is http", option("media.lan:8920"),
         unanswered(TransportFailure::no_http_answer), kExitTransport,
         "try --server https://media.lan:8920"},
        {"no HTTP answer with https typed", option("https://media.lan:8920"),
         unanswered(TransportFailure::no_http_answer), kExitTransport, nullptr},

        // A certificate the system does not trust, wherever the address came from.
        {"certificate", option("https://media.lan:8920"), unanswered(TransportFailure::certificate),
         kExitTransport, "--insecure accepts any certificate, but gives up the proof"},
        {"certificate, ServerUrl",
         {"media.lan", AddressSource::host_member, "ServerUrl"},
         unanswered(TransportFailure::certificate),
         kExitTransport,
         "--insecure"},

        // A 404 from the server before anything succeeded.
        {"a base path the server does not have", option("http://media.lan:8096/jellyfin/"),
         answered(404), kExitTransport,
         "the server answered 404 below the address's path /jellyfin: that path may be wrong, "
         "as it must be the server's base URL setting (none unless one was set): try --server "
         "http://media.lan:8096"},
        {"a base path left out", option("http://media.lan:8096"), answered(404), kExitFail,
         "the server answered 404 at this address: it may have a base URL set (a path such as "
         "/jellyfin in its network settings), which belongs at the end of the address: try "
         "--server http://media.lan:8096/jellyfin"},
        {"a base path left out of ServerUrl",
         {"media.lan", AddressSource::host_member, "HostName"},
         answered(404),
         kExitFail,
         "it may have a base URL set"},
        {"404 for an item: not found", option("http://media.lan:8096/jellyfin"), answered(404),
         kExitNotFound, nullptr},
        {"404 after a success", option("http://media.lan:8096/jellyfin"), answered(404, true),
         kExitFail, nullptr},
        {"credentials refused", option("http://media.lan:8096"), answered(401), kExitAuth, nullptr},
        {"success", option("http://media.lan"), unanswered(TransportFailure::cannot_connect), 0,
         nullptr},
        {"an address the plug-in refuses", option("ftp://media.lan"),
         unanswered(TransportFailure::cannot_connect), kExitTransport, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string hint = hint_for(c.address, c.record, c.exit);
        if (!c.hint) {
            EXPECT_EQ(hint, "");
        } else {
            EXPECT_NE(hint.find(c.hint), std::string::npos) << hint;
        }
    }
}

TEST(Hints, TheAddressIsReadWhereThePluginReadsIt) {
    struct Case {
        const char *name;
        const char *settings;
        bool from_option;
        std::optional<TypedAddress> expected;
    };
    const std::vector<Case> cases = {
        {"--server", R"({"FullUrl":"http://a:1","ServerUrl":"b"})", true,
         TypedAddress{"http://a:1", AddressSource::option, "FullUrl"}},
        {"the file's FullUrl", R"({"ServerUrl":"b","FullUrl":"http://a"})", false,
         TypedAddress{"http://a", AddressSource::full_url, "FullUrl"}},
        {"ServerUrl before HostName", R"({"HostName":"c","ServerUrl":"b"})", false,
         TypedAddress{"b", AddressSource::host_member, "ServerUrl"}},
        // The plug-in reads a null or an object as no member at all.
        {"a null FullUrl", R"({"FullUrl":null,"HostName":"c"})", false,
         TypedAddress{"c", AddressSource::host_member, "HostName"}},
        {"a number: no text to correct", R"({"FullUrl":8096,"HostName":"c"})", false, std::nullopt},
        {"no address", R"({"UserName":"u"})", false, std::nullopt},
        {"not an object", "[]", false, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<TypedAddress> got = typed_address(c.settings, c.from_option);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (!got) continue;
        EXPECT_EQ(got->text, c.expected->text);
        EXPECT_EQ(got->source, c.expected->source);
        EXPECT_EQ(got->member, c.expected->member);
    }
}

}  // namespace
