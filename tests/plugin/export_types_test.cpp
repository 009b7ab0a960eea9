// The kojelly_pfn_ types of kojelly.h, which dlopen hosts cast the exports to: each must be
// exactly the type of its export's address, every export must have one, and all follow one
// naming rule. A declaration changed without its type, or an export added without one, fails
// here rather than in a host that calls through a wrong pointer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kojelly.h"

namespace {

struct TypedExport {
    std::string_view export_name;
    std::string_view type_name;
};

// The row of one export; compiling it is the check that the type matches, noexcept included.
template <typename Pfn, typename Address>
constexpr TypedExport typed(std::string_view export_name, std::string_view type_name) {
    static_assert(std::is_same_v<Pfn, Address>, "a kojelly_pfn_ type is not its export's type");
    return {export_name, type_name};
}

#define KOJELLY_TYPED(pfn, fn) typed<pfn, decltype(&fn)>(#fn, #pfn)

constexpr TypedExport kTypedExports[] = {
    KOJELLY_TYPED(kojelly_pfn_korch_get, korch_get),
    KOJELLY_TYPED(kojelly_pfn_version, kojelly_version),
    KOJELLY_TYPED(kojelly_pfn_runtime_type, kojelly_runtime_type),
    KOJELLY_TYPED(kojelly_pfn_caps, kojelly_caps),
    KOJELLY_TYPED(kojelly_pfn_result_json, kojelly_result_json),
    KOJELLY_TYPED(kojelly_pfn_last_error, kojelly_last_error),
    KOJELLY_TYPED(kojelly_pfn_download, kojelly_download),
    KOJELLY_TYPED(kojelly_pfn_allow_writes, kojelly_allow_writes),
    KOJELLY_TYPED(kojelly_pfn_set_io, kojelly_set_io),
    KOJELLY_TYPED(kojelly_pfn_use_curl, kojelly_use_curl),
    KOJELLY_TYPED(kojelly_pfn_use_fake, kojelly_use_fake),
    KOJELLY_TYPED(kojelly_pfn_validate, kojelly_validate),
    KOJELLY_TYPED(kojelly_pfn_list, kojelly_list),
    KOJELLY_TYPED(kojelly_pfn_stream_url, kojelly_stream_url),
    KOJELLY_TYPED(kojelly_pfn_full_url, kojelly_full_url),
    KOJELLY_TYPED(kojelly_pfn_device_id, kojelly_device_id),
    KOJELLY_TYPED(kojelly_pfn_parse_items, kojelly_parse_items),
    KOJELLY_TYPED(kojelly_pfn_redact, kojelly_redact),
    KOJELLY_TYPED(kojelly_pfn_forget_tokens, kojelly_forget_tokens),
    KOJELLY_TYPED(kojelly_pfn_fake_reset, kojelly_fake_reset),
    KOJELLY_TYPED(kojelly_pfn_fake_set, kojelly_fake_set),
    KOJELLY_TYPED(kojelly_pfn_fake_fail, kojelly_fake_fail),
    KOJELLY_TYPED(kojelly_pfn_fake_calls, kojelly_fake_calls),
    KOJELLY_TYPED(kojelly_pfn_fake_last_body, kojelly_fake_last_body),
    KOJELLY_TYPED(kojelly_pfn_fake_last_url, kojelly_fake_last_url),
    KOJELLY_TYPED(kojelly_pfn_fake_last_headers, kojelly_fake_last_headers),
};

#undef KOJELLY_TYPED

TEST(ExportTypes, EveryExportOfTheCheckedInListHasAType) {
    std::ifstream file(KOJELLY_EXPORTS_LIST);
    ASSERT_TRUE(file) << "cannot read " << KOJELLY_EXPORTS_LIST;
    std::vector<std::string> exported;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) exported.push_back(line);
    }
    std::vector<std::string> typed_names;
    for (const TypedExport &row : kTypedExports) typed_names.emplace_back(row.export_name);
    std::sort(exported.begin(), exported.end());
    std::sort(typed_names.begin(), typed_names.end());
    EXPECT_EQ(typed_names, exported);
}

TEST(ExportTypes, TypeNamesFollowOneRule) {
    // kojelly_pfn_ and the export's name without its kojelly_ prefix.
    for (const TypedExport &row : kTypedExports) {
        SCOPED_TRACE(std::string(row.export_name));
        std::string_view rest = row.export_name;
        if (rest.starts_with("kojelly_")) rest.remove_prefix(std::string_view("kojelly_").size());
        EXPECT_EQ(row.type_name, "kojelly_pfn_" + std::string(rest));
    }
}

}  // namespace
