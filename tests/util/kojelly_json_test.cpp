// The arena that lends its memory to documents read one after another.
#include "util/kojelly_json.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/alloc_fail.hpp"

namespace {

using kojelly::JsonArena;
using kojelly::JsonDoc;

// The text of a document as the writer gives it back, to compare documents read differently.
std::string written(const JsonDoc &doc) {
    if (!doc.root()) return "<none>";
    size_t len = 0;
    char *text = yyjson_val_write(doc.root(), 0, &len);
    std::string out = text ? std::string(text, len) : "<unwritable>";
    std::free(text);
    return out;
}

// An array of n one-digit numbers: twice as many values per byte as the reader estimates for a
// compact text, so it grows its value array while reading.
std::string digits(size_t n) {
    std::string text = "[";
    for (size_t i = 0; i < n; ++i) text += i ? ",7" : "7";
    return text + "]";
}

// An object of n members whose strings are long: few values per byte.
std::string long_strings(size_t n) {
    std::string text = "{";
    for (size_t i = 0; i < n; ++i) {
        if (i) text += ",";
        text += "\"k" + std::to_string(i) + "\":\"" + std::string(200, 'a' + i % 26) + "\"";
    }
    return text + "}";
}

// Texts read one after another with one arena: each must read as it does without one. The
// order takes the block through its first sizing, a text that outgrows it, a shorter one and
// texts that are not JSON.
TEST(JsonArena, DocumentsReadAsWithoutAnArena) {
    const std::vector<std::string> texts = {
        long_strings(50),
        R"({"Items":[{"Id":"1","Name":"caf\u00e9"}],"TotalRecordCount":1})",
        digits(5000),
        "{\n  \"indented\": [1, 2.5, -3, true, false, null, \"x\"]\n}",
        "{\"a\":1,}",
        "[1,2",
        "",
        digits(40000),
        "{}",
        long_strings(400),
    };
    JsonArena arena;
    for (const std::string &text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        const JsonDoc plain = JsonDoc::read(text.data(), text.size());
        const JsonDoc lent = JsonDoc::read(text.data(), text.size(), &arena);
        EXPECT_EQ(written(lent), written(plain));
        EXPECT_FALSE(lent.out_of_memory());
    }
}

// Once a text of some length has been read, the next texts of that length or shorter are read
// without a single allocation: the block serves them all. A longer one replaces the block once.
TEST(JsonArena, LaterReadsReuseTheBlock) {
    struct Step {
        size_t members;  // of long_strings
        bool allocates;  // the read takes memory from malloc
    } steps[] = {
        {100, true},   // the first read sizes the block
        {100, false},  // the same length again
        {60, false},   // shorter
        {100, false},  // the block is not shrunk by the shorter text
        {400, true},   // four times longer: a larger block
        {400, false},
        {100, false},
    };
    JsonArena arena;
    size_t step = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(step++);
        const std::string text = long_strings(s.members);
        const uint64_t allocs = alloc_fail::count([&] {
            const JsonDoc doc = JsonDoc::read(text.data(), text.size(), &arena);
            ASSERT_NE(doc.root(), nullptr);
        });
        EXPECT_EQ(allocs > 0, s.allocates) << allocs << " allocations";
        EXPECT_EQ(arena.spilled(), 0u);
        EXPECT_GE(arena.capacity(), text.size());
    }
}

// A text with more values than the reader estimates grows the reader's value array. Within the
// block that growth happens in place; a text that needs more than the block, by what the texts
// before it needed, goes to malloc for the rest. Either way it reads correctly.
TEST(JsonArena, GrowthPastTheEstimateAndPastTheBlock) {
    struct Case {
        const char *what;
        size_t values;
        bool spills;
    } cases[] = {
        {"grows within the block", 2000, false},
        {"needs more than the block", 200000, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        JsonArena arena;
        const std::string sizing = long_strings(200);
        { const JsonDoc doc = JsonDoc::read(sizing.data(), sizing.size(), &arena); }
        ASSERT_GT(arena.capacity(), 0u);
        const std::string text = digits(c.values);
        const JsonDoc plain = JsonDoc::read(text.data(), text.size());
        const JsonDoc lent = JsonDoc::read(text.data(), text.size(), &arena);
        EXPECT_EQ(written(lent), written(plain));
        EXPECT_EQ(arena.spilled() > 0, c.spills);
    }
}

// Two documents alive at once: the second is read behind the first (or beside it, from malloc),
// neither disturbs the other, and once both are released the block serves again.
TEST(JsonArena, DocumentsAliveTogetherStayIntact) {
    JsonArena arena;
    const std::string a = long_strings(30), b = long_strings(45);
    { const JsonDoc sizing = JsonDoc::read(a.data(), a.size(), &arena); }
    {
        const JsonDoc first = JsonDoc::read(a.data(), a.size(), &arena);
        const JsonDoc second = JsonDoc::read(b.data(), b.size(), &arena);
        const JsonDoc third = JsonDoc::read(a.data(), a.size(), &arena);
        EXPECT_EQ(written(first), written(JsonDoc::read(a.data(), a.size())));
        EXPECT_EQ(written(second), written(JsonDoc::read(b.data(), b.size())));
        EXPECT_EQ(written(third), written(first));
    }
    EXPECT_EQ(alloc_fail::count([&] {
                  const JsonDoc again = JsonDoc::read(a.data(), a.size(), &arena);
                  EXPECT_NE(again.root(), nullptr);
              }),
              0u);
}

// Every allocation an arena read makes may fail: the read then reports out of memory and leaves
// no document, and the arena reads the next text correctly.
TEST(JsonArena, AllocationFailureIsOutOfMemory) {
    const std::string text = long_strings(20), more = digits(20000);
    for (bool all_after : {false, true}) {
        SCOPED_TRACE(all_after ? "every allocation after k" : "k-th allocation");
        uint64_t failures = 0;
        const uint64_t n = alloc_fail::sweep(
            [&] {
                JsonArena arena;
                const JsonDoc first = JsonDoc::read(text.data(), text.size(), &arena);
                const JsonDoc grown = JsonDoc::read(more.data(), more.size(), &arena);
                for (const JsonDoc *doc : {&first, &grown}) {
                    if (doc->root()) continue;
                    ++failures;
                    EXPECT_TRUE(doc->out_of_memory());
                }
            },
            all_after);
        EXPECT_GE(n, 2u);
        EXPECT_GE(failures, n);
        JsonArena arena;
        EXPECT_EQ(written(JsonDoc::read(more.data(), more.size(), &arena)),
                  written(JsonDoc::read(more.data(), more.size())));
    }
}

}  // namespace
