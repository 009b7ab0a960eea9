// The demo server's media serving; see demo_media.hpp.
#include "demo_media.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "demo_http.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr std::size_t kStreamPiece = 64 * 1024;

std::string content_type_of(std::string_view container) {
    if (container == "mkv") return "video/x-matroska";
    if (container == "mp4") return "video/mp4";
    if (container == "webm") return "video/webm";
    if (container == "mov") return "video/quicktime";
    if (container == "avi") return "video/x-msvideo";
    if (container == "ts") return "video/mp2t";
    return "application/octet-stream";
}

// The part of a path after its last slash.
std::string_view base_name(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The container a server names for a file: its extension in lower case, an .m4v being an MP4;
// empty without an extension.
std::string container_of(std::string_view path) {
    const std::string_view name = base_name(path);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string ext = lower(name.substr(dot + 1));
    if (ext == "m4v") ext = "mp4";
    return ext;
}

// The file's name without its extension, which is what a server shows for a movie it has no
// other data about.
std::string title_of(std::string_view path) {
    const std::string_view name = base_name(path);
    const auto dot = name.rfind('.');
    return std::string(dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot));
}

// An open descriptor of the media file, shared by a stream answer's pieces and closed with the
// last of them.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The bytes of a file that a stream answer sends: all of them, one range first..last, or none.
struct Span {
    enum Kind { whole, range, none } kind;
    std::uint64_t first;
    std::uint64_t last;
};

// What the ranges ask of a file of size bytes (size > 0). One range is honoured, clamped to the
// file; several are answered with the whole file, as HTTP allows, and so is a suffix of no
// bytes. Bounds the header left out are -1.
Span span_of(const httplib::Ranges &ranges, std::uint64_t size) {
    Span span{Span::whole, 0, size - 1};
    if (ranges.size() != 1) return span;
    const auto [from, to] = ranges.front();
    if (from >= 0) {
        if (static_cast<std::uint64_t>(from) >= size) return {Span::none, 0, 0};
        span = {Span::range, static_cast<std::uint64_t>(from), size - 1};
        if (to >= 0) span.last = std::min(static_cast<std::uint64_t>(to), size - 1);
    } else if (to > 0) {
        span = {Span::range, size - std::min(static_cast<std::uint64_t>(to), size), size - 1};
    }
    return span;
}

// "bytes FIRST-LAST/SIZE", or "bytes */SIZE" when no byte can be sent.
std::string content_range(const Span &span, std::uint64_t size) {
    std::string out = "bytes ";
    if (span.kind == Span::none) {
        out += '*';
    } else {
        out += std::to_string(span.first);
        out += '-';
        out += std::to_string(span.last);
    }
    out += '/';
    out += std::to_string(size);
    return out;
}

// The span's bytes of item as demo_bytes generates them.
void send_generated(const DemoItem &item, const Span &span, httplib::Response &res) {
    const std::string file_id = item.id;
    const std::uint64_t first = span.first;
    res.set_content_provider(
        static_cast<std::size_t>(span.last - first + 1), content_type_of(item.container),
        [file_id, first](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            std::array<char, kStreamPiece> piece{};
            const std::size_t n = std::min(length, piece.size());
            demo_bytes(file_id, first + offset, piece.data(), n);
            return sink.write(piece.data(), n);
        });
}

// The span's bytes of the real file at item.path.
void send_media(const DemoItem &item, const Span &span, httplib::Response &res) {
    const auto file =
        std::make_shared<FileDescriptor>(open(item.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file->get() < 0) {
        res.headers.erase("Content-Range");
        return send_text(res, 500, "The media file cannot be read");
    }
    const std::uint64_t first = span.first;
    res.set_content_provider(
        static_cast<std::size_t>(span.last - first + 1), content_type_of(item.container),
        [file, first](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            std::array<char, kStreamPiece> piece{};
            const ssize_t n = pread(file->get(), piece.data(), std::min(length, piece.size()),
                                    static_cast<off_t>(first + offset));
            // A file that shrank since the server started ends the answer early.
            return n > 0 && sink.write(piece.data(), static_cast<std::size_t>(n));
        });
}

}  // namespace

bool inspect_media_file(const std::string &path, DemoMediaFile &out, std::string &error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return false;
    }
    out.title = title_of(path);
    out.container = container_of(path);
    out.size = st.st_size;
    return true;
}

// The byte ranges that the server library parsed from the Range header (it has answered 416 to
// one it could not parse), taken over from it. Left in the request, they would be applied a
// second time to whatever this server answers: the library's release on Debian 12 cuts every
// answer, JSON included, to the range without clamping it to the content, and later releases
// answer 416 for a range that runs past the end where HTTP asks for it to be clamped. The
// library has no switch for this, so the request gives its ranges up here.
httplib::Ranges take_ranges(const httplib::Request &req) {
    return std::exchange(const_cast<httplib::Request &>(req).ranges, {});
}

void send_file_bytes(const DemoItem &item, bool real_file, const httplib::Ranges &ranges,
                     httplib::Response &res) {
    const auto size = static_cast<std::uint64_t>(item.size);
    res.set_header("Accept-Ranges", "bytes");
    if (size == 0) return send_text(res, 200, "");
    const Span span = span_of(ranges, size);
    if (span.kind == Span::none) {
        res.set_header("Content-Range", content_range(span, size));
        return send_text(res, 416, "Range Not Satisfiable");
    }
    res.status = span.kind == Span::range ? 206 : 200;
    if (span.kind == Span::range) res.set_header("Content-Range", content_range(span, size));
    if (real_file) return send_media(item, span, res);
    send_generated(item, span, res);
}

}  // namespace kojelly::cli
