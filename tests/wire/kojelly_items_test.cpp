// Item records, the de-duplicating item list, and the /Items and single-item answers.
#include "wire/kojelly_items.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kojelly.h"
#include "support/alloc_fail.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_listing.hpp"
#include "wire/kojelly_wire.hpp"

namespace {

constexpr char kNoMemory[] = "out of memory";
constexpr char kTooMany[] = "folder has more than 100000 items";

// An independent FNV-1a, so that the set layout is checked against the hash it must use.
uint64_t fnv1a(std::string_view s) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

// {"Items":[{"Id":"<first>"},...]} with n consecutive numeric ids.
std::string ids_page(uint64_t first, uint64_t n) {
    std::string body = R"({"Items":[)";
    for (uint64_t i = 0; i < n; ++i) {
        if (i) body += ',';
        body += R"({"Id":")" + std::to_string(first + i) + R"("})";
    }
    return body + "]}";
}

struct PageResult {
    int rc;
    uint64_t pages;
    int64_t total;
    std::string msg;
};

PageResult add_page(kojelly_items *list, const std::string &body) {
    PageResult r{0, 99, 99, ""};
    kojelly::Error err;
    r.rc = kojelly_parse_items_page(body.data(), body.size(), list, &r.pages, &r.total, err);
    r.msg = err.msg;
    return r;
}

// The list invariants: every record holds a valid id, no id twice, every record reachable
// through the set by probing from its hash, and the set at most half full.
void expect_sound(const kojelly_items &l) {
    ASSERT_LE(l.count, l.cap);
    if (l.count == 0) return;
    ASSERT_NE(l.set, nullptr);
    ASSERT_GE(l.set_cap, 2 * l.count);
    ASSERT_EQ(l.set_cap % 128, 0u);
    const uint64_t blocks = l.set_cap / 128;
    ASSERT_EQ(blocks & (blocks - 1), 0u) << "set_cap is not 128 times a power of two";
    uint64_t occupied = 0;
    for (uint64_t i = 0; i < l.set_cap; ++i) {
        if (!l.set[i]) continue;
        ++occupied;
        ASSERT_LE(l.set[i], l.count);
    }
    EXPECT_EQ(occupied, l.count);
    std::set<std::string> seen;
    const uint64_t mask = l.set_cap - 1;
    for (uint64_t pos = 0; pos < l.count; ++pos) {
        const char *id = l.items[pos].id;
        ASSERT_NE(id, nullptr);
        EXPECT_TRUE(kojelly_id_ok(id)) << id;
        EXPECT_TRUE(seen.insert(id).second) << "duplicate id " << id;
        uint64_t i = fnv1a(id) & mask;
        while (l.set[i] && l.set[i] != pos + 1) i = (i + 1) & mask;
        EXPECT_EQ(l.set[i], pos + 1) << "record " << pos << " is not reachable in the set";
    }
}

// One item answer parsed into a record that the object owns.
struct ItemFrom {
    explicit ItemFrom(const std::string &body) {
        rc = kojelly_parse_item(body.data(), body.size(), item.get(), err);
    }
    int rc;
    kojelly::Error err;
    kojelly::OwnedItem item;
};

// ---- Item records --------------------------------------------------------------------------

TEST(ItemRecord, FolderFlagComesOnlyFromIsFolder) {
    struct Case {
        const char *members;
        int32_t folder;
    } cases[] = {
        {R"("IsFolder":true)", 1},
        {R"("IsFolder":"TRUE")", 1},
        {R"("IsFolder":"True")", 1},
        {R"("IsFolder":"tRuE")", 1},
        {R"("IsFolder":true,"IsFolder":false)", 1},
        {R"("IsFolder":false)", 0},
        {R"("IsFolder":1)", 0},
        {R"("IsFolder":"yes")", 0},
        {R"("IsFolder":"true ")", 0},
        {R"("IsFolder":"")", 0},
        {R"("IsFolder":null)", 0},
        {R"("Type":"Folder")", 0},
        {R"("isfolder":true)", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.members);
        ItemFrom r(std::string(R"({"Id":"1",)") + c.members + "}");
        ASSERT_EQ(r.rc, KOJELLY_OK);
        EXPECT_EQ(r.item->folder, c.folder);
    }
}

TEST(ItemRecord, SizeFromItemOrFirstMediaSource) {
    struct Case {
        const char *body;
        int64_t size;
    } cases[] = {
        {R"({"Id":"1","Size":0})", 0},
        {R"({"Id":"1","Size":5000000000})", 5000000000},
        {R"({"Id":"1","Size":2.5e9})", 2500000000},
        {R"({"Id":"1","Size":-5})", -1},
        {R"({"Id":"1","Size":"100"})", -1},
        {R"({"Id":"1"})", -1},
        {R"({"Id":"1","MediaSources":[{"Size":1000}]})", 1000},
        {R"({"Id":"1","Size":1234,"MediaSources":[{"Size":1000}]})", 1234},
        {R"({"Id":"1","Size":-5,"MediaSources":[{"Size":1000}]})", 1000},
        {R"({"Id":"1","MediaSources":[]})", -1},
        {R"({"Id":"1","MediaSources":[{"Size":-9}]})", -1},
        {R"({"Id":"1","MediaSources":[5,{"Size":10}]})", -1},
        {R"({"Id":"1","MediaSources":[{},{"Size":10}]})", -1},
        {R"({"Id":"1","MediaSources":{"Size":10}})", -1},
        {R"({"Id":"1","IsFolder":true,"Size":10})", -1},  // a folder's own Size is not read
        {R"({"Id":"1","IsFolder":true,"Size":10,"MediaSources":[{"Size":10}]})", 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        ItemFrom r(c.body);
        ASSERT_EQ(r.rc, KOJELLY_OK);
        EXPECT_EQ(r.item->size, c.size);
    }
}

TEST(ItemRecord, YearOnlyWithinRange) {
    struct Case {
        const char *value;
        int32_t year;
    } cases[] = {
        {"1799", 0},  {"1800", 1800},   {"9999", 9999}, {"10000", 0},      {"2001.9", 2001},
        {"-2001", 0}, {R"("2001")", 0}, {"null", 0},    {"4294969297", 0},  // 2001 + 2^32
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        ItemFrom r(std::string(R"({"Id":"1","ProductionYear":)") + c.value + "}");
        ASSERT_EQ(r.rc, KOJELLY_OK);
        EXPECT_EQ(r.item->year, c.year);
    }
}

TEST(ItemRecord, ProviderIdsMatchWithoutCase) {
    struct Case {
        const char *ids;
        const char *imdb, *tmdb;
    } cases[] = {
        {R"({"Imdb":"x1","TMDB":"603"})", "x1", "603"},
        {"null", nullptr, nullptr},
        {"{}", nullptr, nullptr},
        {R"("tt1")", nullptr, nullptr},
        {R"({"Tmdb":603})", nullptr, nullptr},
        {R"({"IMDB":5,"Imdb":"tt1"})", "tt1", nullptr},
        {R"({"imdb":"","Imdb":"tt2"})", "tt2", nullptr},
        {R"({"imdb":"a","IMDB":"b"})", "a", nullptr},
        {R"({"imdbx":"1","imd":"2","Tvdb":"3"})", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ids);
        const std::string body = std::string(R"({"Id":"1","ProviderIds":)") + c.ids + "}";
        ItemFrom r(body);
        ASSERT_EQ(r.rc, KOJELLY_OK);
        EXPECT_STREQ(r.item->imdb, c.imdb);
        EXPECT_STREQ(r.item->tmdb, c.tmdb);

        const kojelly::JsonDoc doc = kojelly::JsonDoc::read(body.data(), body.size());
        char *direct = kojelly::provider(doc.root(), "tmdb");
        EXPECT_STREQ(direct, c.tmdb);
        std::free(direct);
    }
}

TEST(ItemRecord, DisplayNameIsTheCleanedTitleOrTheId) {
    const std::string long_name(1025, 'n');
    const std::string max_name(1024, 'n');
    struct Case {
        std::string body;
        const char *name, *title;
    } cases[] = {
        {R"({"Id":"7"})", "7", nullptr},
        {R"({"Id":"7","Name":""})", "7", nullptr},
        {R"({"Id":"7","Name":5})", "7", nullptr},
        {R"({"Id":"7","Name":"."})", "7", "."},
        {R"({"Id":"7","Name":".."})", "7", ".."},
        {R"({"Id":"7","Name":"a/b"})",
         "a\xE2\x88\x95"
         "b",
         "a/b"},
        {R"({"Id":"7","Name":"\tx\u0001"})", "_x_", "\tx\x01"},
        {R"({"Id":"7","Name":"Am\u00e9lie"})", "Am\xC3\xA9lie", "Am\xC3\xA9lie"},
        {R"({"Id":12345,"Name":"Film"})", "Film", "Film"},
        {R"({"Id":"7","Name":")" + long_name + R"("})", "7", long_name.c_str()},
        {R"({"Id":"7","Name":")" + max_name + R"("})", max_name.c_str(), max_name.c_str()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        ItemFrom r(c.body);
        ASSERT_EQ(r.rc, KOJELLY_OK);
        EXPECT_STREQ(r.item->name, c.name);
        EXPECT_STREQ(r.item->title, c.title);
    }
}

TEST(ItemRecord, CopiesTheDescriptiveMembers) {
    ItemFrom r(R"({"Id":12345,"ParentId":42,"Type":"Movie","MediaType":"Video",)"
               R"("Container":"mkv","Type":"Ignored"})");
    ASSERT_EQ(r.rc, KOJELLY_OK);
    EXPECT_STREQ(r.item->id, "12345");
    EXPECT_STREQ(r.item->parent_id, "42");
    EXPECT_STREQ(r.item->type, "Movie");
    EXPECT_STREQ(r.item->media_type, "Video");
    EXPECT_STREQ(r.item->container, "mkv");

    ItemFrom bare(R"({"Id":"1","ParentId":"not validated","Type":"","MediaType":3})");
    ASSERT_EQ(bare.rc, KOJELLY_OK);
    EXPECT_STREQ(bare.item->parent_id, "not validated");
    EXPECT_EQ(bare.item->type, nullptr);
    EXPECT_EQ(bare.item->media_type, nullptr);
    EXPECT_EQ(bare.item->container, nullptr);
}

// An item's members are walked by yyjson's value layout, which was checked for a range of
// versions only: the yyjson the library runs with must be one of them, since a library of
// another version than the header it was built with would be read by the wrong layout.
TEST(ItemRecord, RunsWithAYyjsonWhoseLayoutTheWalkWasCheckedFor) {
    EXPECT_GE(yyjson_version(), kojelly::kYyjsonLayoutFirst);
    EXPECT_LT(yyjson_version(), kojelly::kYyjsonLayoutEnd);
    EXPECT_EQ(yyjson_version(), uint32_t{YYJSON_VERSION_HEX});
}

// Wanted members that follow unwanted ones of every shape are all found: the walk steps over
// scalars, empty and nested containers and arrays of objects that hold wanted keys themselves.
TEST(ItemRecord, MembersAfterValuesOfEveryShapeAreFound) {
    const char *fillers[] = {
        "{}",
        "[]",
        "[[[[]]],{}]",
        R"({"a":{"b":[1,{"c":[]}]},"d":"e"})",
        "null",
        "1.5e3",
        R"("x")",
        R"([{"Id":"999"},{"Name":"no"}])",
        R"({"Id":"998","Name":"inner","ProductionYear":1900})",
    };
    for (const char *f : fillers) {
        SCOPED_TRACE(f);
        const std::string fill = f;
        ItemFrom r(R"({"A":)" + fill + R"(,"Id":"7","B":)" + fill + R"(,"Name":"Film","C":)" +
                   fill + R"(,"ProductionYear":2001,"D":)" + fill + R"(,"ProviderIds":{"X":)" +
                   fill + R"(,"Tmdb":"603"},"E":)" + fill + "}");
        ASSERT_EQ(r.rc, KOJELLY_OK);
        EXPECT_STREQ(r.item->id, "7");
        EXPECT_STREQ(r.item->title, "Film");
        EXPECT_EQ(r.item->year, 2001);
        EXPECT_STREQ(r.item->tmdb, "603");
    }
}

TEST(ItemRecord, FillFailsOnlyWithoutAnId) {
    for (const char *body : {R"({"Name":"x"})", R"({"Id":""})", R"({"Id":true})"}) {
        SCOPED_TRACE(body);
        const kojelly::JsonDoc doc = kojelly::JsonDoc::read(body, std::strlen(body));
        kojelly_item rec{};
        rec.year = 7;
        EXPECT_EQ(kojelly::fill_item(doc.root(), &rec), -1);
        EXPECT_EQ(rec.name, nullptr);
        EXPECT_EQ(rec.title, nullptr);
        EXPECT_EQ(rec.year, 0);
    }
}

TEST(ItemAnswer, RejectsAnswersWithoutAUsableItem) {
    struct Case {
        const char *body;
        const char *msg;
    } cases[] = {
        {nullptr, "item answer is not a JSON object"},
        {"[]", "item answer is not a JSON object"},
        {R"({"Id":"1",})", "item answer is not a JSON object"},
        {R"({"Id":"abc"})", "item answer has no valid Id"},
        {R"({"Id":-5,"Name":"x"})", "item answer has no valid Id"},
        {R"({"Name":"x"})", "item answer has no valid Id"},
        {R"({"Id":"12\u00003"})", "item answer has no valid Id"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body ? c.body : "(null)");
        kojelly::OwnedItem item;
        item->year = 7;
        kojelly::Error err;
        EXPECT_EQ(kojelly_parse_item(c.body, c.body ? std::strlen(c.body) : 0, item.get(), err),
                  KOJELLY_EFAIL);
        EXPECT_STREQ(err.msg, c.msg);
        EXPECT_EQ(item->id, nullptr);
        EXPECT_EQ(item->year, 0);
    }
}

// ---- /Items pages --------------------------------------------------------------------------

TEST(ItemsPage, CountsObjectsAndReadsTheTotal) {
    struct Case {
        const char *body;
        uint64_t pages;
        int64_t total;
        uint64_t count;
    } cases[] = {
        {R"({"Items":[]})", 0, -1, 0},
        {R"({"Items":[],"TotalRecordCount":42})", 0, 42, 0},
        {R"({"Items":[],"TotalRecordCount":42.9})", 0, 42, 0},
        {R"({"Items":[],"TotalRecordCount":"42"})", 0, -1, 0},
        {R"({"Items":[],"TotalRecordCount":-3})", 0, -3, 0},
        {R"({"TotalRecordCount":3,"Items":[{"Id":"1"}]})", 1, 3, 1},
        // Unusable objects and duplicates still count towards the page size.
        {R"({"Items":[1,null,{"Name":"x"}]})", 1, -1, 0},
        {R"({"Items":[{"Id":"abc"},{"Id":12345},{"Id":-5},{"Id":"1"},{"Id":"1"},"x"]})", 5, -1, 2},
        {R"({"Items":[{"Id":"12\u00003"},{"Id":"12"}]})", 2, -1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        kojelly::OwnedItems list;
        const PageResult r = add_page(list.get(), c.body);
        EXPECT_EQ(r.rc, KOJELLY_OK);
        EXPECT_EQ(r.pages, c.pages);
        EXPECT_EQ(r.total, c.total);
        EXPECT_EQ(list->count, c.count);
        EXPECT_EQ(r.msg, "");
        expect_sound(*list.get());
    }
}

TEST(ItemsPage, RejectsAnswersWithoutAnItemsArray) {
    constexpr char kNotObject[] = "/Items answered something that is not a JSON object";
    constexpr char kNoArray[] = "/Items answer has no Items array";
    struct Case {
        const char *body;
        const char *msg;
    } cases[] = {
        {nullptr, kNotObject},
        {R"([{"Id":"1"}])", kNotObject},
        {R"({"Items":[{"Id":"1"}])", kNotObject},
        {R"({"Items":null})", kNoArray},
        {R"({"Items":{}})", kNoArray},
        {R"({})", kNoArray},
        {R"({"items":[],"TotalRecordCount":4})", kNoArray},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body ? c.body : "(null)");
        kojelly::OwnedItems list;
        uint64_t pages = 99;
        int64_t total = 99;
        kojelly::Error err;
        EXPECT_EQ(kojelly_parse_items_page(c.body, c.body ? std::strlen(c.body) : 0, list.get(),
                                           &pages, &total, err),
                  KOJELLY_EFAIL);
        EXPECT_STREQ(err.msg, c.msg);
        EXPECT_EQ(pages, 0u);
        EXPECT_EQ(total, -1);
        EXPECT_EQ(list->count, 0u);
    }
}

TEST(ItemsPage, CounterAndTotalAreOptional) {
    kojelly::OwnedItems list;
    const std::string body = R"({"Items":[{"Id":"1"},{"Id":"2"}],"TotalRecordCount":2})";
    kojelly::Error err;
    ASSERT_EQ(kojelly_parse_items_page(body.data(), body.size(), list.get(), nullptr, nullptr, err),
              KOJELLY_OK);
    EXPECT_EQ(list->count, 2u);
}

class ItemsList : public ::testing::Test {
protected:
    kojelly::OwnedItems list;
};

TEST_F(ItemsList, KeepsServerOrderAndDropsRepeatedIdsAcrossPages) {
    PageResult r = add_page(list.get(), R"({"Items":[{"Id":"3"},{"Id":"1"},{"Id":"3"}]})");
    ASSERT_EQ(r.rc, KOJELLY_OK);
    EXPECT_EQ(r.pages, 3u);
    r = add_page(list.get(), R"({"Items":[{"Id":1},{"Id":"2"},{"Id":"01"}]})");
    ASSERT_EQ(r.rc, KOJELLY_OK);
    EXPECT_EQ(r.pages, 3u);
    ASSERT_EQ(list->count, 4u);
    const char *want[] = {"3", "1", "2", "01"};  // "01" is another id than "1"
    for (uint64_t i = 0; i < 4; ++i) EXPECT_STREQ(list->items[i].id, want[i]);
    expect_sound(*list.get());
}

TEST_F(ItemsList, IdsCompareByteForByte) {
    ASSERT_EQ(add_page(list.get(), R"({"Items":[{"Id":"0123456789abcdef0123456789abcdef"},)"
                                   R"({"Id":"0123456789ABCDEF0123456789ABCDEF"}]})")
                  .rc,
              KOJELLY_OK);
    EXPECT_EQ(list->count, 2u);
}

// Pages that fill the room the array has leave the array and the set as they are; the record
// after that doubles both, the set staying at least twice the records.
TEST_F(ItemsList, ArrayAndSetGrowByDoubling) {
    uint64_t next = 1;
    ASSERT_EQ(add_page(list.get(), ids_page(next++, 1)).rc, KOJELLY_OK);
    for (int doubling = 0; doubling < 3; ++doubling) {
        SCOPED_TRACE(doubling);
        const uint64_t cap = list->cap, set_cap = list->set_cap;
        const uint64_t room = cap - list->count;
        ASSERT_EQ(add_page(list.get(), ids_page(next, room)).rc, KOJELLY_OK);
        next += room;
        EXPECT_EQ(list->cap, cap);
        EXPECT_EQ(list->set_cap, set_cap);
        ASSERT_EQ(add_page(list.get(), ids_page(next++, 1)).rc, KOJELLY_OK);
        EXPECT_EQ(list->cap, 2 * cap);
        EXPECT_EQ(list->set_cap, 2 * set_cap);
        expect_sound(*list.get());
    }
}

TEST_F(ItemsList, HoldsAtMostTheItemLimit) {
    ASSERT_EQ(add_page(list.get(), ids_page(1, kojelly::kMaxItems)).rc, KOJELLY_OK);
    ASSERT_EQ(list->count, kojelly::kMaxItems);
    expect_sound(*list.get());

    // A page repeating held ids is still taken: duplicates are dropped before the limit.
    PageResult r = add_page(list.get(), ids_page(99990, 11));
    EXPECT_EQ(r.rc, KOJELLY_OK);
    EXPECT_EQ(r.pages, 11u);

    // An unusable element does not reach the limit either.
    EXPECT_EQ(add_page(list.get(), R"({"Items":[{"Id":"abc"}]})").rc, KOJELLY_OK);

    r = add_page(list.get(), R"({"Items":[{"Id":"5"},{"Id":"100001"},{"Id":"6"}]})");
    EXPECT_EQ(r.rc, KOJELLY_EFAIL);
    EXPECT_EQ(r.msg, kTooMany);
    EXPECT_EQ(r.pages, 2u);  // the objects counted up to the failure
    EXPECT_EQ(list->count, kojelly::kMaxItems);
}

TEST_F(ItemsList, FailurePartWayKeepsWhatWasAppended) {
    ASSERT_EQ(add_page(list.get(), ids_page(1, kojelly::kMaxItems - 2)).rc, KOJELLY_OK);
    const PageResult r = add_page(list.get(), ids_page(200000, 5));
    EXPECT_EQ(r.rc, KOJELLY_EFAIL);
    EXPECT_EQ(r.msg, kTooMany);
    EXPECT_EQ(r.pages, 3u);
    EXPECT_EQ(list->count, kojelly::kMaxItems);
    EXPECT_STREQ(list->items[kojelly::kMaxItems - 1].id, "200001");
    expect_sound(*list.get());
}

// A list that took appended records (which are not in the set) must still get a set with room
// for all of them once a page arrives; a full set would never end a probe.
TEST_F(ItemsList, PageAfterAppendedRecordsSizesTheSetForAll) {
    constexpr uint64_t kAppended = 200;
    for (uint64_t i = 0; i < kAppended; ++i) {
        const std::string body = R"({"Id":")" + std::to_string(1000 + i) + R"("})";
        kojelly::OwnedItem item;
        kojelly::Error err;
        ASSERT_EQ(kojelly_parse_item(body.data(), body.size(), item.get(), err), KOJELLY_OK);
        ASSERT_EQ(kojelly_acc_grow(list.get(), 1), 0);
        list->items[list->count++] = item.release();
    }
    EXPECT_EQ(list->set_cap, 0u);
    ASSERT_EQ(add_page(list.get(), ids_page(1, 3)).rc, KOJELLY_OK);
    EXPECT_EQ(list->count, kAppended + 3);
    expect_sound(*list.get());
}

TEST_F(ItemsList, FreeLeavesAnEmptyReusableList) {
    ASSERT_EQ(add_page(list.get(), ids_page(1, 70)).rc, KOJELLY_OK);
    kojelly_items_free(list.get());
    EXPECT_EQ(list->items, nullptr);
    EXPECT_EQ(list->set, nullptr);
    EXPECT_EQ(list->count + list->cap + list->set_cap, 0u);
    kojelly_items_free(list.get());
    ASSERT_EQ(add_page(list.get(), ids_page(1, 2)).rc, KOJELLY_OK);
    EXPECT_EQ(list->count, 2u);
}

// ---- Entries written straight from the page -------------------------------------------------

// Pages whose items take every branch of the member reading: ids and parent ids sent as
// numbers, texts cut short by an embedded NUL, escapes, a name that needs cleaning, provider ids
// in any case and of the wrong type, folders with a summed size, out-of-range years, elements
// that are no objects or have no usable id, and repeats within and across pages.
const char *const kMixedPages[] = {
    R"({"Items":[{"Id":12,"Name":"Caf\u00e9 \"A/B\"\t","ParentId":7,"Type":"Movie",)"
    R"("MediaType":"Video","Container":"mkv","Size":123,"ProductionYear":1999,)"
    R"("ProviderIds":{"IMDB":"tt9","tmdb":5,"Tmdb":"77"}},)"
    R"({"Id":"0123456789abcdef0123456789abcdef","Name":"\u0000hidden","ParentId":"\u0000",)"
    R"("IsFolder":true,"Size":5000,"ProductionYear":1700,"MediaSources":[{"Size":9}]},)"
    R"(7,{"Id":"x"},{"Name":"no id"},{"Id":12,"Name":"again"},)"
    R"({"Id":"3","Type":"Series","IsFolder":"TRUE","ProviderIds":{"imdb":"\u0000tt"}},)"
    R"({"Id":"4","Name":"..","MediaSources":[{"Size":1.5e3}],"ProductionYear":2024.0}],)"
    R"("TotalRecordCount":9})",
    R"({"Items":[{"Id":"3"},{"Id":"5","Name":"n\u2215o\u0001"},{"Id":"12"}]})",
    R"({"Items":[]})",
};

TEST(ListingEntries, MatchTheListingOfFullRecordsAndKeepOnlyIds) {
    kojelly::OwnedItems records;
    kojelly::OwnedItems ids;
    kojelly::OwnedBuf entries;
    for (const char *page : kMixedPages) {
        SCOPED_TRACE(page);
        const size_t len = std::strlen(page);
        kojelly::Error err;
        uint64_t counted_records = 0, counted_entries = 0;
        int64_t total_records = 0, total_entries = 0;
        ASSERT_EQ(kojelly_parse_items_page(page, len, records.get(), &counted_records,
                                           &total_records, err),
                  KOJELLY_OK);
        ASSERT_EQ(kojelly_page_entries(page, len, ids.get(), entries.get(), &counted_entries,
                                       &total_entries, err),
                  KOJELLY_OK);
        EXPECT_EQ(counted_entries, counted_records);
        EXPECT_EQ(total_entries, total_records);
    }
    kojelly::OwnedBuf whole;
    ASSERT_EQ(kojelly_items_json(whole.get(), records.get()), 0);
    EXPECT_EQ(std::string(kojelly::kListingOpen) + entries.c_str() + kojelly::kListingClose,
              whole.c_str());

    ASSERT_EQ(ids->count, records->count);
    expect_sound(*ids.get());
    for (uint64_t i = 0; i < ids->count; ++i) {
        const kojelly_item &it = ids->items[i];
        EXPECT_STREQ(it.id, records->items[i].id);
        EXPECT_EQ(it.folder, records->items[i].folder);
        EXPECT_EQ(it.name, nullptr);
        EXPECT_EQ(it.title, nullptr);
    }
}

TEST(ListingEntries, RefusalsAndTheLimitAreThoseOfThePageParser) {
    struct Case {
        const char *page;
        const char *msg;
    } cases[] = {
        {"[]", "/Items answered something that is not a JSON object"},
        {R"({"Items":{}})", "/Items answer has no Items array"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.page);
        kojelly::OwnedItems ids;
        kojelly::OwnedBuf entries;
        kojelly::Error err;
        EXPECT_EQ(kojelly_page_entries(c.page, std::strlen(c.page), ids.get(), entries.get(),
                                       nullptr, nullptr, err),
                  KOJELLY_EFAIL);
        EXPECT_STREQ(err.msg, c.msg);
        EXPECT_EQ(ids->count, 0u);
    }

    kojelly::OwnedItems ids;
    kojelly::OwnedBuf entries;
    kojelly::Error err;
    const std::string full = ids_page(1, kojelly::kMaxItems);
    ASSERT_EQ(kojelly_page_entries(full.data(), full.size(), ids.get(), entries.get(), nullptr,
                                   nullptr, err),
              KOJELLY_OK);
    const std::string more = ids_page(kojelly::kMaxItems, 2);
    EXPECT_EQ(kojelly_page_entries(more.data(), more.size(), ids.get(), entries.get(), nullptr,
                                   nullptr, err),
              KOJELLY_EFAIL);
    EXPECT_STREQ(err.msg, kTooMany);
    EXPECT_EQ(ids->count, kojelly::kMaxItems);
}

TEST(ListingEntries, MemoryShortageIsReportedAndNothingElseChanges) {
    const std::string page = kMixedPages[0];
    kojelly::OwnedItems records;
    kojelly::Error err;
    ASSERT_EQ(
        kojelly_parse_items_page(page.data(), page.size(), records.get(), nullptr, nullptr, err),
        KOJELLY_OK);
    kojelly::OwnedBuf want;
    ASSERT_EQ(kojelly_items_json(want.get(), records.get()), 0);

    for (bool all_after : {false, true}) {
        SCOPED_TRACE(all_after ? "every allocation after k" : "k-th allocation");
        uint64_t failures = 0;
        const uint64_t n = alloc_fail::sweep(
            [&] {
                kojelly::OwnedItems ids;
                kojelly::OwnedBuf entries;
                kojelly::Error m;
                const int rc = kojelly_page_entries(page.data(), page.size(), ids.get(),
                                                    entries.get(), nullptr, nullptr, m);
                expect_sound(*ids.get());
                if (rc == KOJELLY_OK) {
                    EXPECT_EQ(std::string(kojelly::kListingOpen) + entries.c_str() +
                                  kojelly::kListingClose,
                              want.c_str());
                    return;
                }
                ++failures;
                EXPECT_EQ(rc, KOJELLY_EFAIL);
                EXPECT_STREQ(m.msg, kNoMemory);
            },
            all_after);
        EXPECT_GT(n, 3u);
        EXPECT_EQ(failures, n);
    }
}

// A page whose names are control bytes: valid JSON that the listing writes six times larger.
std::string amplified_page(size_t name_bytes, int items) {
    std::string page = R"({"Items":[)";
    for (int i = 0; i < items; ++i) {
        if (i) page += ",";
        page += R"({"Id":")" + std::to_string(100 + i) + R"(","Name":")" +
                std::string(name_bytes, '\x7f') + R"("})";
    }
    return page + "]}";
}

// The entries stop before they would pass their limit, wherever in an entry that falls, and the
// buffer never grows past it; a limit the page fits leaves the entries as without one.
TEST(ListingEntries, EntriesStopAtTheirLimit) {
    const std::string page = amplified_page(1000, 4);
    kojelly::OwnedItems unbounded_ids;
    kojelly::OwnedBuf unbounded;
    kojelly::Error err;
    ASSERT_EQ(kojelly_page_entries(page.data(), page.size(), unbounded_ids.get(), unbounded.get(),
                                   nullptr, nullptr, err),
              KOJELLY_OK);
    const uint64_t size = unbounded->len;
    ASSERT_GT(size, 4u * 6000u) << "each name is written six times its size";

    for (uint64_t limit :
         {uint64_t{0}, uint64_t{1}, uint64_t{100}, size / 2, size - 1, size, size + 1}) {
        SCOPED_TRACE(limit);
        kojelly::OwnedItems ids;
        kojelly::OwnedBuf entries;
        const int rc = kojelly::page_entries_within(page.data(), page.size(), ids.get(),
                                                    entries.get(), limit, err);
        EXPECT_LE(entries->len, limit);
        EXPECT_LE(entries->cap, std::max<uint64_t>(256, 2 * limit));
        if (limit >= size) {
            EXPECT_EQ(rc, KOJELLY_OK);
            EXPECT_STREQ(entries.c_str(), unbounded.c_str());
        } else {
            EXPECT_EQ(rc, KOJELLY_EFAIL);
            EXPECT_STREQ(err.msg, "listing is larger than 256 MiB");
        }
    }
}

// ---- One listing's scratch -----------------------------------------------------------------

// A page of n items with consecutive ids from first, every listing member present, reporting
// total as its TotalRecordCount (none when negative).
std::string listing_page(uint64_t first, uint64_t n, int64_t total) {
    std::string body = R"({"Items":[)";
    for (uint64_t i = 0; i < n; ++i) {
        if (i) body += ',';
        const std::string id = std::to_string(first + i);
        body += R"({"Name":"Film )" + id + R"(","Id":")" + id +
                R"(","ParentId":"9","Type":"Movie","MediaType":"Video","Container":"mkv",)"
                R"("Size":1000,"ProductionYear":1999,"ProviderIds":{"Imdb":"tt)" +
                id + R"("}})";
    }
    body += "]";
    if (total >= 0) body += R"(,"TotalRecordCount":)" + std::to_string(total);
    return body + "}";
}

// A listing of several pages taken with one scratch is the listing taken without: the same
// entries, ids, counters and totals, for pages with and without a total, repeats, and pages
// that are no /Items answer at all.
TEST(ListingScratch, PagesGiveTheSameEntriesAsWithout) {
    const std::vector<std::string> pages = {
        listing_page(1, 50, 160), kMixedPages[0], listing_page(51, 50, 160), "[]",
        listing_page(40, 70, -1), kMixedPages[1], listing_page(200, 3, 160), kMixedPages[2],
    };
    kojelly::PageScratch scratch;
    kojelly::OwnedItems plain_ids, ids;
    kojelly::OwnedBuf plain, entries;
    for (const std::string &page : pages) {
        SCOPED_TRACE(page.substr(0, 60));
        uint64_t counted[2] = {};
        int64_t total[2] = {};
        kojelly::Error err[2];
        const int rc_plain = kojelly_page_entries(page.data(), page.size(), plain_ids.get(),
                                                  plain.get(), &counted[0], &total[0], err[0]);
        const int rc = kojelly_page_entries(page.data(), page.size(), ids.get(), entries.get(),
                                            &counted[1], &total[1], err[1], &scratch);
        EXPECT_EQ(rc, rc_plain);
        EXPECT_STREQ(err[1].msg, err[0].msg);
        EXPECT_EQ(counted[1], counted[0]);
        EXPECT_EQ(total[1], total[0]);
        EXPECT_STREQ(entries.c_str(), plain.c_str());
        ASSERT_EQ(ids->count, plain_ids->count);
        for (uint64_t i = 0; i < ids->count; ++i) {
            EXPECT_STREQ(ids->items[i].id, plain_ids->items[i].id);
            EXPECT_EQ(ids->items[i].folder, plain_ids->items[i].folder);
        }
        expect_sound(*ids.get());
    }
}

// The first page with a total sizes the list, its set and the entries for the whole listing;
// the pages after it only copy their new ids: no growth, and no memory for their documents.
TEST(ListingScratch, FirstPageSizesTheListingAndLaterPagesReuseIt) {
    constexpr uint64_t kPerPage = 100;
    constexpr uint64_t kPages = 6;
    constexpr int64_t kTotal = kPerPage * kPages;
    kojelly::PageScratch scratch;
    kojelly::OwnedItems ids;
    kojelly::OwnedBuf entries;
    uint64_t first_page_len = 0;
    for (uint64_t p = 0; p < kPages; ++p) {
        SCOPED_TRACE(p);
        const std::string page = listing_page(1000 + p * kPerPage, kPerPage, kTotal);
        kojelly::Error err;
        int rc = -1;
        const uint64_t allocs = alloc_fail::count([&] {
            rc = kojelly_page_entries(page.data(), page.size(), ids.get(), entries.get(), nullptr,
                                      nullptr, err, &scratch);
        });
        ASSERT_EQ(rc, KOJELLY_OK) << err.msg;
        if (p == 0) {
            first_page_len = entries->len;
            EXPECT_GE(ids->cap, uint64_t{kTotal});
            EXPECT_GE(ids->set_cap, 2 * uint64_t{kTotal});
            EXPECT_GE(entries->cap, kPages * first_page_len);
            EXPECT_LE(entries->cap, 2 * kPages * first_page_len);
        } else {
            // One copy of each new id, nothing else: these names need no cleaning and are
            // written from the document as they stand.
            EXPECT_EQ(allocs, kPerPage);
        }
        expect_sound(*ids.get());
    }
    EXPECT_EQ(ids->count, kPages * kPerPage);
    EXPECT_TRUE(scratch.sized);
}

// What the sizing makes of the total a page reports: nothing without one, room for the page
// alone when it holds more, never more than the item limit for the list, never more than the
// listing's limit for the entries.
TEST(ListingScratch, SizingStaysWithinTheLimits) {
    struct Case {
        const char *what;
        int64_t total;
        bool sized;
        uint64_t records;  // the list's room after the first page; 0: as without a scratch
    } cases[] = {
        {"no total", -1, false, 0},
        {"total 0", 0, false, 0},
        {"total below the page", 10, true, 0},
        {"total of the whole folder", 5000, true, 5000},
        {"total past the item limit", int64_t{1} << 50, true, kojelly::kMaxItems},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly::PageScratch scratch;
        kojelly::OwnedItems ids;
        kojelly::OwnedBuf entries;
        const std::string page = listing_page(1, 32, c.total);
        kojelly::Error err;
        ASSERT_EQ(kojelly_page_entries(page.data(), page.size(), ids.get(), entries.get(), nullptr,
                                       nullptr, err, &scratch),
                  KOJELLY_OK)
            << err.msg;
        EXPECT_EQ(scratch.sized, c.sized);
        if (c.records == 0) {
            kojelly::OwnedItems plain_ids;
            kojelly::OwnedBuf plain;
            ASSERT_EQ(kojelly_page_entries(page.data(), page.size(), plain_ids.get(), plain.get(),
                                           nullptr, nullptr, err),
                      KOJELLY_OK);
            EXPECT_EQ(ids->cap, plain_ids->cap);
        } else {
            // Room for that many, and not a doubling more.
            EXPECT_GE(ids->cap, c.records);
            EXPECT_LT(ids->cap, 2 * c.records);
        }
        EXPECT_GE(ids->set_cap, 2 * ids->cap);
        EXPECT_LE(entries->cap, kojelly::kMaxListing);
        expect_sound(*ids.get());
    }
}

// Every allocation of a listing's pages taken with a scratch may fail, the sizing ones included:
// each failure ends its page as "out of memory" with the list sound, and a run that succeeds
// writes the listing as without a scratch.
TEST(ListingScratch, MemoryShortageIsReportedOnEveryPage) {
    const std::vector<std::string> pages = {listing_page(1, 40, 90), listing_page(41, 50, 90)};
    kojelly::OwnedItems plain_ids;
    kojelly::OwnedBuf want;
    for (const std::string &page : pages) {
        kojelly::Error err;
        ASSERT_EQ(kojelly_page_entries(page.data(), page.size(), plain_ids.get(), want.get(),
                                       nullptr, nullptr, err),
                  KOJELLY_OK);
    }
    for (bool all_after : {false, true}) {
        SCOPED_TRACE(all_after ? "every allocation after k" : "k-th allocation");
        uint64_t failures = 0;
        const uint64_t n = alloc_fail::sweep(
            [&] {
                kojelly::PageScratch scratch;
                kojelly::OwnedItems ids;
                kojelly::OwnedBuf entries;
                for (const std::string &page : pages) {
                    kojelly::Error m;
                    const int rc =
                        kojelly_page_entries(page.data(), page.size(), ids.get(), entries.get(),
                                             nullptr, nullptr, m, &scratch);
                    expect_sound(*ids.get());
                    if (rc != KOJELLY_OK) {
                        ++failures;
                        EXPECT_EQ(rc, KOJELLY_EFAIL);
                        EXPECT_STREQ(m.msg, kNoMemory);
                        return;
                    }
                }
                EXPECT_STREQ(entries.c_str(), want.c_str());
            },
            all_after);
        EXPECT_GT(n, 90u);
        EXPECT_EQ(failures, n);
    }
}

// The tags answer every probe as the set itself does: the record holding an id, or the empty
// slot where the set's own probe ends. They follow the list through appended records, a rebuilt
// set and a list emptied and filled again.
TEST(ListingScratch, SetTagsFindWhatTheSetHolds) {
    kojelly::OwnedItems list;
    kojelly::SetTags tags;
    // Where the set's probe for id ends, and whether it found the id there.
    auto by_set = [&](const std::string &id, uint64_t *slot) {
        const uint64_t mask = list->set_cap - 1;
        uint64_t i = fnv1a(id) & mask;
        for (; list->set[i]; i = (i + 1) & mask) {
            if (id == list->items[list->set[i] - 1].id) {
                *slot = i;
                return true;
            }
        }
        *slot = i;
        return false;
    };
    struct Step {
        const char *what;
        uint64_t first, count;  // ids appended by a page before the probes
        bool empty_first;       // the list is emptied before the page
    } steps[] = {
        {"a first page", 1, 40, false},
        {"a page that makes the set grow", 1000, 300, false},
        {"a page repeating held ids", 20, 30, false},
        {"a list emptied and filled again", 5000, 10, true},
    };
    for (const Step &st : steps) {
        SCOPED_TRACE(st.what);
        if (st.empty_first) kojelly_items_free(list.get());
        ASSERT_EQ(add_page(list.get(), ids_page(st.first, st.count)).rc, KOJELLY_OK);
        ASSERT_EQ(tags.follow(list.get()), 0);
        for (uint64_t probe = 1; probe < 6000; probe += 7) {
            const std::string id = std::to_string(probe);
            uint64_t want_slot = 0, got_slot = 0;
            const bool want = by_set(id, &want_slot);
            EXPECT_EQ(tags.find(list.get(), id, fnv1a(id), &got_slot), want) << id;
            EXPECT_EQ(got_slot, want_slot) << id;
        }
    }
}

// A total below what the folder holds sizes the list too small: the set is rebuilt while the
// pages arrive, the tags with it, and repeats across the rebuild are still dropped.
TEST(ListingScratch, TotalBelowTheFolderStillDropsEveryRepeat) {
    const std::vector<std::string> pages = {listing_page(1, 100, 10), listing_page(101, 100, 10),
                                            listing_page(50, 100, 10), listing_page(150, 200, 10),
                                            listing_page(1, 400, 10)};
    kojelly::PageScratch scratch;
    kojelly::OwnedItems plain_ids, ids;
    kojelly::OwnedBuf plain, entries;
    for (const std::string &page : pages) {
        kojelly::Error err;
        ASSERT_EQ(kojelly_page_entries(page.data(), page.size(), plain_ids.get(), plain.get(),
                                       nullptr, nullptr, err),
                  KOJELLY_OK);
        ASSERT_EQ(kojelly_page_entries(page.data(), page.size(), ids.get(), entries.get(), nullptr,
                                       nullptr, err, &scratch),
                  KOJELLY_OK);
        expect_sound(*ids.get());
    }
    EXPECT_EQ(ids->count, 400u);
    EXPECT_EQ(ids->count, plain_ids->count);
    EXPECT_STREQ(entries.c_str(), plain.c_str());
}

// ---- Room for appended records -------------------------------------------------------------

// Room is made by doubling: from the room the first request gets, a request is met by the
// fewest doublings that hold it, a request that is met already changes nothing, and a request for
// none makes no room. The list's count and set are never touched.
TEST(ItemsGrow, MakesRoomByDoubling) {
    kojelly::OwnedItems none;
    ASSERT_EQ(kojelly_acc_grow(none.get(), 0), 0);
    EXPECT_EQ(none->items, nullptr);
    EXPECT_EQ(none->cap, 0u);

    kojelly::OwnedItems one;
    ASSERT_EQ(kojelly_acc_grow(one.get(), 1), 0);
    const uint64_t first = one->cap;
    ASSERT_GE(first, 1u);
    for (uint64_t want : {first, first + 1, 3 * first, 16 * first + 1}) {
        SCOPED_TRACE(want);
        kojelly::OwnedItems list;
        ASSERT_EQ(kojelly_acc_grow(list.get(), want), 0);
        uint64_t cap = first;
        while (cap < want) cap *= 2;
        EXPECT_EQ(list->cap, cap);
        kojelly_item *items = list->items;
        ASSERT_EQ(kojelly_acc_grow(list.get(), cap), 0);
        EXPECT_EQ(list->items, items);
        EXPECT_EQ(list->cap, cap);
        ASSERT_EQ(kojelly_acc_grow(list.get(), cap + 1), 0);
        EXPECT_EQ(list->cap, 2 * cap);
        EXPECT_EQ(list->count, 0u);
        EXPECT_EQ(list->set, nullptr);
        EXPECT_EQ(list->set_cap, 0u);
    }
}

TEST(ItemsGrow, FailureLeavesTheListUnchanged) {
    kojelly::OwnedItems list;
    ASSERT_EQ(kojelly_acc_grow(list.get(), 10), 0);
    kojelly_item *const before = list->items;
    const uint64_t cap = list->cap;
    // Requests whose byte size cannot be represented fail before any allocation.
    for (uint64_t more : {UINT64_MAX, UINT64_MAX / 2, uint64_t{1} << 60}) {
        SCOPED_TRACE(more);
        EXPECT_EQ(kojelly_acc_grow(list.get(), more), -1);
        EXPECT_EQ(list->items, before);
        EXPECT_EQ(list->cap, cap);
    }
    {
        alloc_fail::Countdown fail_next(1);
        EXPECT_EQ(kojelly_acc_grow(list.get(), cap + 1), -1);
        EXPECT_TRUE(fail_next.fired());
    }
    EXPECT_EQ(list->items, before);
    EXPECT_EQ(list->cap, cap);
}

// ---- Memory shortage -----------------------------------------------------------------------

TEST(ItemsMemory, PageParserReportsOutOfMemoryAndStaysSound) {
    // Enough records to cross the first growth of the array and the set, every member present:
    // a run that succeeds must have every member, a run that fails must say why.
    constexpr int kItems = 66;
    std::string body = R"({"Items":[)";
    for (int i = 0; i < kItems; ++i) {
        if (i) body += ',';
        body +=
            R"({"Id":")" + std::to_string(i + 1) +
            R"(","Name":"N/a","ParentId":9,"Type":"Movie","MediaType":"Video",)"
            R"("Container":"mkv","ProviderIds":{"Imdb":"tt1","Tmdb":"2"},"ProductionYear":2000})";
    }
    body += R"(,{"Id":"1"}],"TotalRecordCount":67})";
    for (bool all_after : {false, true}) {
        SCOPED_TRACE(all_after ? "every allocation after k" : "k-th allocation");
        uint64_t failures = 0;
        const uint64_t n = alloc_fail::sweep(
            [&] {
                kojelly::OwnedItems list;
                const PageResult r = add_page(list.get(), body);
                EXPECT_EQ(r.total, 67);
                expect_sound(*list.get());
                if (r.rc == KOJELLY_OK) {
                    ASSERT_EQ(list->count, uint64_t{kItems});
                    for (uint64_t i = 0; i < list->count; ++i) {
                        const kojelly_item &it = list->items[i];
                        for (const char *text : {it.name, it.title, it.parent_id, it.type,
                                                 it.media_type, it.container, it.imdb, it.tmdb})
                            EXPECT_NE(text, nullptr) << "record " << i;
                    }
                    return;
                }
                ++failures;
                EXPECT_EQ(r.rc, KOJELLY_EFAIL);
                EXPECT_EQ(r.msg, kNoMemory);
                EXPECT_LT(list->count, uint64_t{kItems});
            },
            all_after);
        EXPECT_GT(n, uint64_t{kItems});
        EXPECT_EQ(failures, n);
    }
}

TEST(ItemsMemory, ItemParserReportsOutOfMemoryWithTheRecordZeroed) {
    const std::string body =
        R"({"Id":"1","Name":"N","ParentId":"2","Type":"T","MediaType":"M","Container":"C",)"
        R"("ProviderIds":{"imdb":"i","tmdb":"t"}})";
    uint64_t failures = 0;
    const uint64_t n = alloc_fail::sweep([&] {
        kojelly::OwnedItem item;
        kojelly::Error err;
        const int rc = kojelly_parse_item(body.data(), body.size(), item.get(), err);
        const kojelly_item &it = *item.get();
        const char *texts[] = {it.id,         it.name,      it.title, it.parent_id, it.type,
                               it.media_type, it.container, it.imdb,  it.tmdb};
        if (rc == KOJELLY_OK) {
            for (const char *text : texts) EXPECT_NE(text, nullptr);
            return;
        }
        ++failures;
        EXPECT_EQ(rc, KOJELLY_EFAIL);
        EXPECT_STREQ(err.msg, kNoMemory);
        for (const char *text : texts) EXPECT_EQ(text, nullptr);
    });
    EXPECT_GT(n, 8u);
    EXPECT_EQ(failures, n);
}

}  // namespace
