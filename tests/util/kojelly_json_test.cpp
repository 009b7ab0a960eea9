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
        {400, false}, {100, false},
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
        EXPECT_EQ(allocs, s.allocates ? 1u : 0u);
    }
}

// Texts with as many values per byte as JSON allows, in every shape the reader reads
// differently: each reads within a block sized for it, taking no memory but the block, although
// the reader grows its value array well past its first estimate.
TEST(JsonArena, DenseTextsReadWithinTheirBlock) {
    std::string members = "{";
    for (int i = 0; i < 5000; ++i) members += (i ? ",\"" : "\"") + std::to_string(i) + "\":0";
    members += "}";
    std::string indented = "[\n  7";
    for (int i = 1; i < 8000; ++i) indented += ",\n  7";
    indented += "\n]";
    const std::vector<std::string> dense = {
        digits(30000),
        std::string(20000, '[') + std::string(20000, ']'),
        members,
        indented,
    };
    for (const std::string &text : dense) {
        SCOPED_TRACE(text.substr(0, 20));
        const std::string want = written(JsonDoc::read(text.data(), text.size()));
        ASSERT_NE(want, "<none>");
        JsonArena arena;
        JsonDoc doc;
        EXPECT_EQ(alloc_fail::count([&] { doc = JsonDoc::read(text.data(), text.size(), &arena); }),
                  1u)
            << "memory beyond the block";
        EXPECT_EQ(written(doc), want);
    }
}

// A block sized by a text of few values serves a later text of many values as long as the
// later one's bound is within the block, up to the last byte of it.
TEST(JsonArena, ATextThatOnlyJustFitsReadsWithinTheBlock) {
    JsonArena arena;
    const std::string sizing = long_strings(40);
    { const JsonDoc doc = JsonDoc::read(sizing.data(), sizing.size(), &arena); }
    size_t n = 1;  // digits(n) is 2n + 1 bytes long
    while (yyjson_read_max_memory_usage(2 * (n + 1) + 1, 0) <= arena.capacity()) ++n;
    const std::string text = digits(n);
    const std::string want = written(JsonDoc::read(text.data(), text.size()));
    JsonDoc doc;
    EXPECT_EQ(alloc_fail::count([&] { doc = JsonDoc::read(text.data(), text.size(), &arena); }),
              0u);
    EXPECT_EQ(written(doc), want);
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

// Every allocation an arena makes may fail, the first block and a larger one alike: the read
// then reports out of memory and leaves no document, and the next read has the arena try again.
TEST(JsonArena, AllocationFailureIsOutOfMemory) {
    const std::string text = long_strings(20), more = digits(20000);
    const std::string want = written(JsonDoc::read(more.data(), more.size()));
    for (bool all_after : {false, true}) {
        SCOPED_TRACE(all_after ? "every allocation after k" : "k-th allocation");
        uint64_t failures = 0;
        const uint64_t n = alloc_fail::sweep(
            [&] {
                JsonArena arena;
                for (const std::string *t : {&text, &more}) {
                    const JsonDoc doc = JsonDoc::read(t->data(), t->size(), &arena);
                    if (doc.root()) continue;
                    ++failures;
                    EXPECT_TRUE(doc.out_of_memory());
                }
                // With one allocation failed, the arena has its block again.
                if (!all_after) {
                    EXPECT_EQ(written(JsonDoc::read(more.data(), more.size(), &arena)), want);
                }
            },
            all_after);
        EXPECT_GE(n, 2u);
        EXPECT_GE(failures, n);
    }
}

}  // namespace
