// The settings JSON the tool hands the plug-in, built from options and a settings file without a
// server: which source wins for each member the tool supplies itself.
#include "settings.hpp"

#include <gtest/gtest.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using kojelly::cli::build_settings;
using kojelly::cli::SettingsInput;
using kojelly::cli::SettingsStatus;

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

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

}  // namespace
