// The demo server's media serving: what it shows of the real file that one movie may stand for,
// the byte ranges a stream request asks for, and the answer that sends those bytes, either a
// generated file's (demo_bytes) or the real file's, with its Content-Range and a content type
// after its container.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <string>

#include "demo_library.hpp"

namespace kojelly::cli {

// What a server shows of a media file it has no other data about.
struct DemoMediaFile {
    std::string title;      // the file's name without its extension
    std::string container;  // its extension in lower case, an .m4v being an mp4; may be empty
    std::int64_t size = 0;
};

// Looks at the file at path; false, with error set to one line, when it cannot be read or is not
// a regular file.
[[nodiscard]] bool inspect_media_file(const std::string &path, DemoMediaFile &out,
                                      std::string &error);

// Drops the byte ranges that the server library parsed from the request's Range header, so that
// it does not apply them to the answer; call it before anything else sees the request.
void drop_ranges(const httplib::Request &req);

// Answers a stream request for the file item (not a folder) with the bytes that range, the
// request's Range value ("" for none), asks for, as tessel_range_slice reads it: 200 with all of
// them (also for several ranges or a suffix of no bytes), 206 with one range cut to the file,
// 416 when the range starts past the end. The bytes are the real file's at item.path when
// real_file is set (500 when it cannot be opened), the generated ones of demo_bytes otherwise.
void send_file_bytes(const DemoItem &item, bool real_file, const std::string &range,
                     httplib::Response &res);

}  // namespace kojelly::cli
