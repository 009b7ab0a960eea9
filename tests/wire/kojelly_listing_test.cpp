// The listing JSON written for the host.
#include "wire/kojelly_listing.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "kojelly.h"
#include "support/alloc_fail.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_wire.hpp"

namespace {

constexpr char kFilm[] =
    R"({"name":"Film","path":"501","folder":false,"kind":"file","size":1000,"mtime_ms":-1,)"
    R"("id":"501","parent_id":"42","title":"Film","year":1999,"type":"Movie",)"
    R"("media_type":"Video","container":"mkv","imdb":null,"tmdb":"603","available":true})";
constexpr char kFolder[] =
    R"({"name":"7","path":"7","folder":true,"kind":"dir","size":-1,"mtime_ms":-1,"id":"7",)"
    R"("parent_id":null,"title":null,"year":null,"type":"Folder","media_type":null,)"
    R"("container":null,"imdb":null,"tmdb":null,"available":false})";

// The server objects that the two entries above are made from.
constexpr char kFilmItem[] =
    R"({"Id":"501","Name":"Film","ParentId":"42","Type":"Movie","MediaType":"Video",)"
    R"("Container":"mkv","ProviderIds":{"Tmdb":"603"},"ProductionYear":1999,"Size":1000})";
constexpr char kFolderItem[] = R"({"Id":"7","IsFolder":true,"Type":"Folder","Size":55})";

// A list filled from one /Items page holding the given item objects.
class Listing : public ::testing::Test {
protected:
    void fill(const std::vector<std::string> &objects) {
        std::string body = R"({"Items":[)";
        for (size_t i = 0; i < objects.size(); ++i) body += (i ? "," : "") + objects[i];
        body += "]}";
        const uint64_t before = list->count;
        kojelly::Error err;
        ASSERT_EQ(
            kojelly_parse_items_page(body.data(), body.size(), list.get(), nullptr, nullptr, err),
            KOJELLY_OK)
            << err.msg;
        ASSERT_EQ(list->count, before + objects.size());
    }
    std::string listing() {
        kojelly::OwnedBuf b;
        EXPECT_EQ(kojelly_items_json(b.get(), list.get()), 0);
        return b.c_str();
    }
    std::string entry(uint64_t pos) {
        kojelly::OwnedBuf b;
        EXPECT_EQ(kojelly_item_json(b.get(), &list->items[pos]), 0);
        return b.c_str();
    }

    kojelly::OwnedItems list;
};

TEST_F(Listing, EntriesAreWrittenByteForByte) {
    fill({kFilmItem, kFolderItem});
    EXPECT_EQ(entry(0), kFilm);
    EXPECT_EQ(entry(1), kFolder);
    EXPECT_EQ(listing(), std::string(R"({"items":[)") + kFilm + "," + kFolder + "]}");
}

TEST_F(Listing, ListShapeHasOneCommaBetweenEntries) {
    EXPECT_EQ(listing(), R"({"items":[]})");
    fill({R"({"Id":"1"})"});
    EXPECT_EQ(listing(), R"({"items":[)" + entry(0) + "]}");
    fill({R"({"Id":"2"})", R"({"Id":"3"})"});
    EXPECT_EQ(listing(), R"({"items":[)" + entry(0) + "," + entry(1) + "," + entry(2) + "]}");
}

TEST_F(Listing, AvailabilityNeedsTitleAndYear) {
    struct Case {
        const char *object;
        const char *title_year;
        const char *available;
    } cases[] = {
        {R"({"Id":"1","Name":"A","ProductionYear":2001})", R"("title":"A","year":2001,)",
         R"(,"available":true})"},
        {R"({"Id":"2","Name":"A"})", R"("title":"A","year":null,)", R"(,"available":false})"},
        {R"({"Id":"3","ProductionYear":2001})", R"("title":null,"year":2001,)",
         R"(,"available":false})"},
        {R"({"Id":"4","Name":"A","ProductionYear":1700})", R"("title":"A","year":null,)",
         R"(,"available":false})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.object);
        kojelly_items_free(list.get());
        fill({c.object});
        const std::string e = entry(0);
        EXPECT_NE(e.find(c.title_year), std::string::npos) << e;
        EXPECT_TRUE(e.ends_with(c.available)) << e;
    }
}

TEST_F(Listing, TextsAreEscapedAndNamesAlreadyCleaned) {
    fill({R"({"Id":"1","Name":"a\"b\\c\td\u0001/e"})"});
    const std::string e = entry(0);
    EXPECT_TRUE(e.starts_with(R"({"name":"a\"b\\c_d_)"
                              "\xE2\x88\x95"
                              R"(e","path":"1",)"))
        << e;
    EXPECT_NE(e.find(R"("title":"a\"b\\c\td\u0001/e",)"), std::string::npos) << e;
}

TEST_F(Listing, LargeSizesAreWrittenInFull) {
    fill({R"({"Id":"1","Size":5000000000})", R"({"Id":"2","IsFolder":true,"Size":5})"});
    EXPECT_NE(entry(0).find(R"(,"size":5000000000,"mtime_ms":-1,)"), std::string::npos);
    EXPECT_NE(entry(1).find(R"("folder":true,"kind":"dir","size":-1,)"), std::string::npos);
}

TEST_F(Listing, AppendsToWhatTheBufferHolds) {
    fill({kFolderItem});
    kojelly::OwnedBuf b;
    ASSERT_EQ(kojelly_buf_adds(b.get(), "x"), 0);
    ASSERT_EQ(kojelly_items_json(b.get(), list.get()), 0);
    EXPECT_EQ(std::string(b.c_str()), std::string(R"(x{"items":[)") + kFolder + "]}");
}

// The host reads the listing with any JSON reader: every entry must parse and carry all
// sixteen members in their order, whatever bytes the server put into its texts.
TEST_F(Listing, EveryEntryParsesWithAllMembersInOrder) {
    const char *const keys[] = {
        "name",  "path", "folder", "kind",       "size",      "mtime_ms", "id",   "parent_id",
        "title", "year", "type",   "media_type", "container", "imdb",     "tmdb", "available"};
    fill({kFilmItem, kFolderItem,
          R"({"Id":"3","Name":"\u007f\b\f\n\r\"\\\/\u00e9\ud83c\udfac","Type":"\t",)"
          R"("Container":"\u001b","ProviderIds":{"imdb":"\"}"}})"});
    const std::string text = listing();
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(text.data(), text.size());
    ASSERT_TRUE(doc.root()) << text;
    yyjson_val *items = yyjson_obj_get(doc.root(), "items");
    ASSERT_EQ(yyjson_arr_size(items), 3u);
    size_t idx, max;
    yyjson_val *e;
    yyjson_arr_foreach(items, idx, max, e) {
        SCOPED_TRACE(idx);
        ASSERT_EQ(yyjson_obj_size(e), std::size(keys));
        size_t k = 0, kmax;
        yyjson_val *key, *val;
        yyjson_obj_foreach(e, k, kmax, key, val) {
            EXPECT_STREQ(yyjson_get_str(key), keys[k]);
            EXPECT_NE(val, nullptr);
        }
    }
    yyjson_val *third = yyjson_arr_get(items, 2);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(third, "title")),
                 "\x7f\b\f\n\r\"\\/\xC3\xA9\xF0\x9F\x8E\xAC");
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(third, "imdb")), "\"}");
}

TEST_F(Listing, ALimitSizedFolderIsWritten) {
    std::string body = R"({"Items":[)";
    for (uint64_t i = 1; i <= kojelly::kMaxItems; ++i)
        body += (i > 1 ? R"(,{"Id":")" : R"({"Id":")") + std::to_string(i) + R"("})";
    body += "]}";
    kojelly::Error err;
    ASSERT_EQ(kojelly_parse_items_page(body.data(), body.size(), list.get(), nullptr, nullptr, err),
              KOJELLY_OK);
    const std::string text = listing();
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(text.data(), text.size());
    ASSERT_TRUE(doc.root());
    EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(doc.root(), "items")), kojelly::kMaxItems);
}

TEST_F(Listing, BufferFailureStopsWithAPrefix) {
    std::vector<std::string> objects;
    for (int i = 1; i <= 20; ++i)
        objects.push_back(R"({"Id":")" + std::to_string(i) + "\"," +
                          (kFilmItem + std::strlen(R"({"Id":"501",)")));
    fill(objects);
    const std::string full = listing();
    uint64_t failures = 0;
    uint64_t n = alloc_fail::sweep([&] {
        kojelly::OwnedBuf b;
        const int rc = kojelly_items_json(b.get(), list.get());
        const std::string text = b.c_str();
        if (rc == 0) {
            EXPECT_EQ(text, full);
            return;
        }
        ++failures;
        EXPECT_EQ(rc, -1);
        EXPECT_TRUE(full.starts_with(text));
        EXPECT_LT(text.size(), full.size());
    });
    EXPECT_GT(n, 0u);
    EXPECT_EQ(failures, n);

    failures = 0;
    n = alloc_fail::sweep([&] {
        kojelly::OwnedBuf b;
        if (kojelly_item_json(b.get(), &list->items[0]) != 0) ++failures;
    });
    EXPECT_GT(n, 0u);
    EXPECT_EQ(failures, n);
}

}  // namespace
