// The two kinds of body the demo server's parts answer with: JSON, as demo_answers renders it,
// and plain text, which the imitated server sends for errors and for an empty file.
#pragma once

#include <httplib.h>

#include <string>

namespace kojelly::cli {

inline void send_json(httplib::Response &res, const std::string &body, int status = 200) {
    res.status = status;
    res.set_content(body, "application/json; charset=utf-8");
}

inline void send_text(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body, "text/plain; charset=utf-8");
}

}  // namespace kojelly::cli
