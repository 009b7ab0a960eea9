// The scripted fake server's Range handling, and the Range GET on top of it. The first bytes
// choose the range mode, the method, the file size and a Range GET's start and end; the rest is
// the value of the request's Range header. Whatever the value, an answer is 200 with the whole
// file, 206 with exactly the bytes its Content-Range names (inside the file, with a matching
// Content-Length), or 416 with no body; HEAD answers carry no body; nothing is read outside the
// file (AddressSanitizer watches the copies). A Range GET returns what the answer holds from its
// start on.
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "tessel_http.h"

namespace {

constexpr char kUrl[] = "http://fake/file";
constexpr size_t kHeader = 8;  // mode, method, size (2 bytes), start (2), end (2)

struct Collected {
    tessel_collect c;
    Collected() { tessel_collect_init(&c, 0); }
    ~Collected() { tessel_collect_free(&c); }
    std::string_view body() const {
        return c.body.data ? std::string_view(c.body.data, c.body.len) : std::string_view();
    }
    const char *header(const char *name) const { return tessel_hdrs_get(&c.headers, name); }
};

int64_t number(const char *text) {
    return text ? std::strtoll(text, nullptr, 10) : -2;
}

void check_answer(int32_t status, const Collected &got, const std::string &file, bool head) {
    const std::string_view body = got.body();
    const int64_t size = static_cast<int64_t>(file.size());
    if (status == 200) {
        fuzz::check(body == (head ? std::string_view() : std::string_view(file)),
                    "a 200 answer holds the whole file");
        fuzz::check(number(got.header("Content-Length")) == size, "its Content-Length");
    } else if (status == 206) {
        int64_t start = -1, end = -1, total = -1;
        fuzz::check(tessel_content_range(got.header("Content-Range"), &start, &end, &total) == 0,
                    "a 206 answer names its range");
        fuzz::check(total == size && start >= 0 && end >= start && end < size,
                    "a range inside the file");
        const std::string_view slice = std::string_view(file).substr(
            static_cast<size_t>(start), static_cast<size_t>(end - start + 1));
        fuzz::check(body == (head ? std::string_view() : slice), "the bytes of the range");
        fuzz::check(number(got.header("Content-Length")) == end - start + 1, "its Content-Length");
    } else {
        fuzz::check(status == 416, "200, 206 or 416");
        fuzz::check(body.empty(), "a 416 answer has no body");
        fuzz::check(
            got.header("Content-Range") == std::string_view("bytes */" + std::to_string(size)),
            "a 416 answer names the size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader) return 0;
    const int32_t mode = data[0] % 4;
    const bool head = data[1] & 1;
    const size_t file_size = (data[2] | (data[3] << 8)) % 2048;
    const int64_t start = data[4] | (data[5] << 8);
    const int64_t end = data[6] | (data[7] << 8);
    const std::string value = fuzz::text_of(data + kHeader, size - kHeader);

    std::string file(file_size, '\0');
    for (size_t i = 0; i < file_size; ++i) file[i] = static_cast<char>('a' + i % 26);
    fuzz::check(tessel_fake_file(kUrl, file.data(), file.size(), mode) == 0, "a file route");
    const tessel_http *http = tessel_http_fake();

    const std::string line = "Range:" + value;
    const char *lines[1] = {line.c_str()};
    Collected got;
    tessel_http_req req{};
    req.size = sizeof req;
    req.method = head ? "HEAD" : "GET";
    req.url = kUrl;
    req.headers = lines;
    req.header_count = 1;
    req.on_header = tessel_collect_header;
    req.on_body = tessel_collect_body;
    req.user = &got.c;
    int32_t status = 0;
    char *error = nullptr;
    fuzz::check(http->request(http->user, &req, &status, &error) == 0, "a file route answers");
    http->free(http->user, error);
    check_answer(status, got, file, head);

    // The Range GET asks for start..end itself and trims a 200 answer to begin at start.
    Collected ranged;
    int32_t rstatus = 0;
    char *rerror = nullptr;
    const int32_t rc = tessel_http_range(http, kUrl, start, end, &ranged.c, &rstatus, &rerror);
    http->free(http->user, rerror);
    if (end < start) {
        fuzz::check(rc == -1, "bad range arguments are refused");
    } else {
        fuzz::check(rc == 0, "a Range GET answers");
        const std::string_view body = ranged.body();
        const std::string_view whole = file;
        const bool past = static_cast<size_t>(start) >= file.size();
        if (rstatus == 206) {
            fuzz::check(body == whole.substr(start, end - start + 1), "the range asked for");
        } else if (rstatus == 200) {
            fuzz::check(body == (past ? whole : whole.substr(start)), "trimmed to the start");
        } else {
            fuzz::check(rstatus == 416 && body.empty() && (past || mode == 2),
                        "416 only for a range the file cannot serve");
        }
    }
    return 0;
}
