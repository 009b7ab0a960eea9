// The settings JSON the tool hands the plug-in, built from options and a settings file without a
// server: which source wins for each member the tool supplies itself; what a command that talks
// to a server says when the address or a credential is missing; how a settings file's syntax
// error is located, and which member a misspelt one most likely meant.
#include "settings.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_run.hpp"

namespace {

using e2e::Doc;
using kojelly::cli::build_settings;
using kojelly::cli::nearest_settings_member;
using kojelly::cli::settings_from_text;
using kojelly::cli::SettingsInput;
using kojelly::cli::SettingsStatus;

// Every value of the members called name, as JSON text, in their order.
std::vector<std::string> members_named(const std::string &json, const char *name) {
    const Doc doc(yyjson_read(json.data(), json.size(), 0));
    std::vector<std::string> found;
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    while (yyjson_val *key = yyjson_obj_iter_next(&it)) {
        if (std::string(yyjson_get_str(key)) != name) continue;
        char *text = yyjson_val_write(yyjson_obj_iter_get_val(key), 0, nullptr);
        found.emplace_back(text ? text : "");
        std::free(text);
    }
    return found;
}

// The flag beats the file, the file beats the tool's default, and whatever wins appears once.
TEST(ToolSettings, ParallelPagesComeFromTheFlagThenTheFileThenTheDefault) {
    struct Case {
        const char *name;
        const char *file;  // a settings file's text; nullptr: no --settings
        std::optional<int> flag;
        const char *sent;  // the ParallelPages member's JSON text
    };
    const std::vector<Case> cases = {
        {"neither: the tool's default", nullptr, std::nullopt, "4"},
        {"the flag alone", nullptr, 1, "1"},
        {"a file without the member", R"({"FullUrl":"http://h"})", std::nullopt, "4"},
        {"the file's number", R"({"ParallelPages":2,"FullUrl":"http://h"})", std::nullopt, "2"},
        // The plug-in reads a text as well as a number, and judges the value itself.
        {"the file's text, as written", R"({"ParallelPages":" 3 "})", std::nullopt, "\" 3 \""},
        {"the file's wrong value, left to the plug-in", R"({"ParallelPages":99})", std::nullopt,
         "99"},
        {"the flag over the file", R"({"ParallelPages":2,"FullUrl":"http://h"})", 16, "16"},
        {"the flag over the file's wrong value", R"({"ParallelPages":"many"})", 1, "1"},
    };
    const std::string path =
        ::testing::TempDir() + "kojelly_parallel_" + std::to_string(getpid()) + ".json";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SettingsInput in;
        in.device_id = "test-device";
        in.parallel_pages = c.flag;
        if (c.file) {
            std::ofstream(path) << c.file;
            in.file = path;
        }
        std::string json;
        std::string error;
        ASSERT_EQ(build_settings(in, json, error), SettingsStatus::ok) << error;
        EXPECT_EQ(members_named(json, "ParallelPages"), std::vector<std::string>{c.sent}) << json;
    }
    std::remove(path.c_str());
}

// The address and a credential are checked before anything else is read, and the message names
// the options, and the settings file's members only when there is a file.
TEST(ToolSettings, AServerCommandNamesTheMissingOptions) {
    struct Case {
        const char *name;
        const char *file;  // a settings file's text; nullptr: no --settings
        std::optional<std::string> server;
        std::optional<std::string> user;
        std::string api_key_env;
        const char *message;  // nullptr: the settings are complete
    };
    const std::string no_credential =
        "credentials are required: --user NAME with --password-stdin or --password-env VAR, or "
        "an API key with --api-key-env VAR";
    const std::vector<Case> cases = {
        {"nothing", nullptr, std::nullopt, "u", "",
         "--server URL is required: the server's address, e.g. --server "
         "http://192.168.1.20:8096"},
        {"a file without an address", R"({"UserName":"u"})", std::nullopt, std::nullopt, "",
         "--server URL is required (or FullUrl in the settings file "},
        // The plug-in reads these as no member: a null, an object.
        {"a file whose address is null", R"({"FullUrl":null,"HostName":{}})", std::nullopt, "u", "",
         "--server URL is required (or FullUrl"},
        {"no credential", nullptr, "http://h", std::nullopt, "", no_credential.c_str()},
        {"a file without a credential", R"({"FullUrl":"http://h","Password":"p"})", std::nullopt,
         std::nullopt, "", "(or UserName and Password, or APIKey, in the settings file "},
        {"--server and --user", nullptr, "http://h", "u", "", nullptr},
        {"--server and --api-key-env", nullptr, "http://h", std::nullopt, "KJ_SETTINGS_TEST_KEY",
         nullptr},
        {"the file's ServerUrl and APIKey", R"({"ServerUrl":"h","APIKey":"k"})", std::nullopt,
         std::nullopt, "", nullptr},
        {"the file's HostName and a numeric UserName", R"({"HostName":"h","UserName":7})",
         std::nullopt, std::nullopt, "", nullptr},
    };
    setenv("KJ_SETTINGS_TEST_KEY", "0123", 1);
    const std::string path =
        ::testing::TempDir() + "kojelly_needed_" + std::to_string(getpid()) + ".json";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SettingsInput in;
        in.server_needed = true;
        in.server = c.server;
        in.user = c.user;
        in.api_key_env = c.api_key_env;
        in.device_id = "test-device";
        if (c.file) {
            std::ofstream(path) << c.file;
            chmod(path.c_str(), 0600);  // no warning of a secret others can read
            in.file = path;
        }
        std::string json;
        std::string error;
        const SettingsStatus status = build_settings(in, json, error);
        if (!c.message) {
            EXPECT_EQ(status, SettingsStatus::ok) << error;
            continue;
        }
        EXPECT_EQ(status, SettingsStatus::bad_input);
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(error.find("FullUrl (or ServerUrl"), std::string::npos) << error;
        EXPECT_TRUE(json.empty()) << json;
    }
    unsetenv("KJ_SETTINGS_TEST_KEY");
    std::remove(path.c_str());
}

// A syntax error is located by line and column, in characters, and described in yyjson's words;
// nothing of the text is quoted, as it may hold a password.
TEST(ToolSettings, ASyntaxErrorSaysWhereAndWhatButQuotesNothing) {
    struct Case {
        const char *name;
        std::string text;
        std::string message;  // after "the settings file settings.json "
    };
    const std::vector<Case> cases = {
        {"a trailing comma", "{\n  \"UserName\": \"bob\",\n  \"Password\": \"hunter2\",\n}\n",
         "is not valid JSON at line 3, column 24: trailing comma is not allowed"},
        {"a missing comma", "{\"Password\": \"hunter2\"\n \"UserName\": \"bob\"}",
         "is not valid JSON at line 2, column 2: unexpected character, expected a comma or a "
         "closing brace"},
        {"a column counted in characters", "{\"Title\": \"Amélie\" x}",
         "is not valid JSON at line 1, column 20: unexpected character"},
        {"a string never closed", "{\"Password\": \"hunter2",
         "is not valid JSON at line 1, column 22: unexpected end of data"},
        {"an empty file", "", "is not valid JSON"},
        {"valid JSON, not an object", "[\"hunter2\"]", "does not hold a JSON object"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string json = "untouched";
        std::string error;
        EXPECT_EQ(settings_from_text(c.text, "settings.json", {}, json, error),
                  SettingsStatus::bad_file);
        EXPECT_EQ(error.rfind("the settings file settings.json " + c.message, 0), 0u) << error;
        EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
        EXPECT_EQ(json, "untouched");
    }
}

TEST(ToolSettings, AMisspeltMemberIsMatchedToTheOneItMeant) {
    struct Case {
        const char *name;
        std::string given;
        const char *meant;  // "": no suggestion
    };
    const std::vector<Case> cases = {
        // Equal but for case comes first.
        {"Username", "Username", "UserName"},
        {"ApiKey", "ApiKey", "APIKey"},
        {"FullURL", "FullURL", "FullUrl"},
        {"DeviceID", "DeviceID", "DeviceId"},
        {"serverurl", "serverurl", "ServerUrl"},
        // Then one or two edits, case aside.
        {"a letter left out", "Pasword", "Password"},
        {"two letters swapped", "Passowrd", "Password"},
        {"an underscore", "Api_Key", "APIKey"},
        {"a plural lost", "ParallelPage", "ParallelPages"},
        {"two edits", "Pasword1", "Password"},
        // Nothing near, or a name too short to tell.
        {"unrelated", "Colour", ""},
        {"two letters", "IP", ""},
        {"part of a member", "Host", ""},
        {"three edits", "Passwd1", ""},
        {"very long", std::string(200, 'P'), ""},
        // A member the plug-in reads needs no suggestion.
        {"known", "Password", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(nearest_settings_member(c.given), c.meant);
    }
}

}  // namespace
