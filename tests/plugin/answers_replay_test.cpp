// The examples of docs/answers.md, checked without a network: the demo server's answers to every
// request the examples make, recorded in tests/data/answers_server.txt (which
// tests/e2e/answers_doc_test.cpp holds to the real server on Linux), are served by the scripted
// fake server, and the plug-in must then write exactly what the page shows, through the handler
// table and the flat exports alike (the examples and how they are asked:
// tests/support/answers_page.hpp). This is the check of the page on Windows, where neither the
// demo server nor libcurl is built.
//
// The plug-in is linked in rather than loaded by path: this binary's build does not depend on
// the DLL (or .so), so a path could name a missing or stale one; the loading itself is the
// end-to-end test's and the export list's concern.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kojelly.h"
#include "support/answers_page.hpp"
#include "tessel_http.h"

namespace {

using answers_page::Blocks;
using answers_page::Exchange;
using answers_page::Plugin;
using answers_page::Recording;
using answers_page::Runner;

Plugin linked_plugin() {
    Plugin p;
    p.table = korch_get();
    p.set_io = kojelly_set_io;
    p.validate = kojelly_validate;
    p.list = kojelly_list;
    p.stream_url = kojelly_stream_url;
    p.download = kojelly_download;
    p.parse_items = kojelly_parse_items;
    p.result_json = kojelly_result_json;
    p.last_error = kojelly_last_error;
    return p;
}

class AnswersReplay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string text;
        blocks_ = new Blocks(answers_page::read_file(KOJELLY_ANSWERS_DOC, text)
                                 ? answers_page::marked_blocks(text)
                                 : Blocks{{}, std::string("cannot read ") + KOJELLY_ANSWERS_DOC});
        const std::string path = answers_page::recording_path(KOJELLY_ANSWERS_DOC);
        recording_ = new Recording(answers_page::read_file(path, text)
                                       ? answers_page::parse_recording(text)
                                       : Recording{{}, "cannot read " + path});
    }
    static void TearDownTestSuite() {
        delete blocks_;
        delete recording_;
        blocks_ = nullptr;
        recording_ = nullptr;
    }

    // The fake server answers each recorded (method, URL) as the demo server did, and nothing
    // else: any other request gets the fake's bare 404. The plug-in reads no answer header, so
    // none is recorded or served.
    void SetUp() override {
        ASSERT_EQ(blocks_->error, "");
        ASSERT_EQ(recording_->error, "");
        tessel_fake_reset();
        for (const Exchange &x : recording_->exchanges) {
            ASSERT_EQ(tessel_fake_set(x.method.c_str(), x.url.c_str(), x.status, nullptr,
                                      x.body.data(), x.body.size()),
                      0)
                << x.method << " " << x.url;
        }
        kojelly_forget_tokens();
        ctx_.magic = TESSEL_HTTP_CTX_MAGIC;
        ctx_.size = sizeof ctx_;
        ctx_.http = tessel_http_fake();
        io_.ctx = &ctx_;
        ASSERT_EQ(kojelly_set_io(&io_), KOJELLY_OK);
    }
    void TearDown() override {
        EXPECT_EQ(kojelly_set_io(nullptr), KOJELLY_OK);
        tessel_fake_reset();
    }

    Runner runner() const {
        return Runner(*blocks_, linked_plugin(), &io_, tessel_http_fake(),
                      std::string(answers_page::kDocBase));
    }

    // Requests since SetUp that no recorded exchange answered.
    static std::int32_t unrecorded_requests() {
        std::int32_t n = tessel_fake_calls(nullptr, nullptr);
        for (const Exchange &x : recording_->exchanges) {
            n -= tessel_fake_calls(x.method.c_str(), x.url.c_str());
        }
        return n;
    }

    static Blocks *blocks_;
    static Recording *recording_;
    tessel_http_ctx ctx_{};
    tessel_io io_{};
};

Blocks *AnswersReplay::blocks_ = nullptr;
Recording *AnswersReplay::recording_ = nullptr;

// A marked block that nothing checks, or a checked one the page lacks, would let an example
// drop out of the check by being renamed.
TEST_F(AnswersReplay, EveryMarkedBlockIsCheckedAndEveryCheckedBlockIsMarked) {
    std::set<std::string> known(std::begin(answers_page::kInputBlocks),
                                std::end(answers_page::kInputBlocks));
    for (const answers_page::Example &e : answers_page::kExamples) known.insert(e.answer);
    std::set<std::string> marked;
    for (const auto &[name, text] : blocks_->text) marked.insert(name);
    EXPECT_EQ(marked, known);
}

TEST_F(AnswersReplay, EachDocumentedAnswerIsWhatThePluginWrites) {
    runner().expect_documented_answers();
    EXPECT_EQ(unrecorded_requests(), 0) << "the last one: " << tessel_fake_last_request();
}

TEST_F(AnswersReplay, ParsedPageOfTheFolderExampleIsTheFolderListing) {
    runner().expect_parsed_folder_page_is_the_folder_listing();
}

// The plug-in asks here for exactly what it asked the demo server for when the recording was
// made: nothing recorded goes unasked, and nothing is asked that was not recorded.
TEST_F(AnswersReplay, TheExamplesAskForExactlyTheRecordedExchanges) {
    runner().ask_everything();
    for (const Exchange &x : recording_->exchanges) {
        EXPECT_GT(tessel_fake_calls(x.method.c_str(), x.url.c_str()), 0)
            << x.method << " " << x.url << " is recorded but never asked for";
    }
    EXPECT_EQ(unrecorded_requests(), 0) << "the last one: " << tessel_fake_last_request();
}

// The reader of the marks: each fault of a page must be reported, never read as fewer blocks.
TEST(AnswersDocMarks, ReadsMarkedBlocksAndReportsEveryMalformedPage) {
    struct Case {
        const char *what;
        std::string page;
        std::map<std::string, std::string> blocks;
        std::string error;  // the start of the expected error; empty when the page is sound
    };
    const Case cases[] = {
        {"blocks of one and two lines; an unmarked block is not read",
         "intro\n<!-- example: a -->\n```json\n{}\n```\n```\nfree\n```\n"
         "<!-- example: b -->\n```\nx\n  y\n```\n",
         {{"a", "{}"}, {"b", "x\n  y"}},
         ""},
        {"an empty block", "<!-- example: e -->\n```\n```\n", {{"e", ""}}, ""},
        {"a blank line between marker and fence",
         "<!-- example: a -->\n\n```\n{}\n```\n",
         {},
         "line 1: marker a is not followed"},
        {"a block that is never closed",
         "<!-- example: a -->\n```\n{}\n",
         {},
         "line 1: the block of a is not closed"},
        {"a name marked twice",
         "<!-- example: a -->\n```\n1\n```\n<!-- example: a -->\n```\n2\n```\n",
         {},
         "line 5: a is marked twice"},
        {"a misspelt marker", "<!-- example:a -->\n```\n{}\n```\n", {}, "line 1: malformed marker"},
        {"a marker without a name",
         "<!-- example:  -->\n```\n{}\n```\n",
         {},
         "line 1: malformed marker"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Blocks got = answers_page::marked_blocks(c.page);
        EXPECT_EQ(got.error.substr(0, c.error.size()), c.error) << got.error;
        EXPECT_EQ(got.error.empty(), c.error.empty()) << got.error;
        if (c.error.empty()) {
            EXPECT_EQ(got.text, c.blocks);
        }
    }
}

// The reader of the recording: bodies come back byte for byte whatever they hold, and a damaged
// file is reported rather than read as fewer or shorter exchanges.
TEST(AnswersRecording, ReadsExchangesAndReportsEveryMalformedRecording) {
    const std::string head = "# heading\n# more\n";
    struct Case {
        const char *what;
        std::string text;
        std::vector<Exchange> exchanges;
        std::string error;  // the start of the expected error; empty when the text is sound
    };
    const Case cases[] = {
        {"no exchange", head, {}, ""},
        {"bodies holding line feeds, an empty one, and a sent body",
         head + "\nGET http://h/a?x=1\nanswer 200 4\n{\n}\n\n" +
             "\nPOST http://h/b\nsent 3\n{}\n\nanswer 404 0\n\n",
         {{"GET", "http://h/a?x=1", "", 200, "{\n}\n"}, {"POST", "http://h/b", "{}\n", 404, ""}},
         ""},
        {"the same route twice",
         head + "\nGET http://h/a\nanswer 200 0\n\n\nGET http://h/a\nanswer 200 0\n\n",
         {},
         "line 8: GET http://h/a is recorded twice"},
        {"a body shorter than its length",
         head + "\nGET http://h/a\nanswer 200 9\n{}\n",
         {},
         "line 5: the answer of http://h/a does not have its length"},
        {"a body longer than its length",
         head + "\nGET http://h/a\nanswer 200 1\n{}\n",
         {},
         "line 5: the answer of http://h/a does not have its length"},
        {"no blank line between exchanges",
         head + "\nGET http://h/a\nanswer 200 0\n\nGET http://h/b\nanswer 200 0\n\n",
         {},
         "line 7: expected the blank line"},
        {"a request line without a URL",
         head + "\nGET\nanswer 200 0\n\n",
         {},
         "line 4: expected \"METHOD URL\""},
        {"a status that is not three digits",
         head + "\nGET http://h/a\nanswer 20 0\n\n",
         {},
         "line 5: status 20 is not three digits"},
        {"an exchange without its answer",
         head + "\nGET http://h/a\n",
         {},
         "line 5: expected the answer"},
        {"a comment line after the heading",
         head + "\nGET http://h/a\nanswer 200 0\n\n# late\n",
         {},
         "line 7: expected the blank line"},
        {"a file cut inside the heading", "# heading", {}, "line 1: unended comment"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Recording got = answers_page::parse_recording(c.text);
        EXPECT_EQ(got.error.substr(0, c.error.size()), c.error) << got.error;
        EXPECT_EQ(got.error.empty(), c.error.empty()) << got.error;
        if (c.error.empty()) {
            EXPECT_TRUE(got.exchanges == c.exchanges);
            // What the end-to-end test writes is what this reads.
            EXPECT_TRUE(answers_page::parse_recording(answers_page::recording_text(c.exchanges))
                            .exchanges == c.exchanges);
        }
    }
}

}  // namespace
