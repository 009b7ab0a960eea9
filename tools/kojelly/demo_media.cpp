// The demo server's media serving; see demo_media.hpp.
#include "demo_media.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "demo_http.hpp"
#include "tessel_http.h"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr std::size_t kStreamPiece = 64 * 1024;
// A current server's answers to a Range header: one range served (cut to the file), several
// ranges and a suffix of no bytes answered with the whole file.
constexpr std::uint32_t kMediaRangeRules = 0;

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

// "bytes FIRST-LAST/SIZE" for count bytes from first on, or "bytes */SIZE" when count is 0.
std::string content_range(std::uint64_t first, std::uint64_t count, std::uint64_t size) {
    std::string out = "bytes ";
    if (count == 0) {
        out += '*';
    } else {
        out += std::to_string(first);
        out += '-';
        out += std::to_string(first + count - 1);
    }
    out += '/';
    out += std::to_string(size);
    return out;
}

// Fills up to n bytes at out with the bytes at offset at of a file; how many it filled, 0 or
// less when there are none (the answer then ends early).
using ReadPiece = std::function<std::int64_t(std::uint64_t at, char *out, std::size_t n)>;

// Sends the count bytes from first on in pieces that read fills.
void send_pieces(std::uint64_t first, std::uint64_t count, const std::string &container,
                 ReadPiece read, httplib::Response &res) {
    res.set_content_provider(
        static_cast<std::size_t>(count), content_type_of(container),
        [read = std::move(read), first](std::size_t offset, std::size_t length,
                                        httplib::DataSink &sink) {
            std::array<char, kStreamPiece> piece{};
            const std::int64_t n =
                read(first + offset, piece.data(), std::min(length, piece.size()));
            return n > 0 && sink.write(piece.data(), static_cast<std::size_t>(n));
        });
}

// The bytes of item as demo_bytes generates them.
void send_generated(const DemoItem &item, std::uint64_t first, std::uint64_t count,
                    httplib::Response &res) {
    send_pieces(
        first, count, item.container,
        [file_id = item.id](std::uint64_t at, char *out, std::size_t n) {
            demo_bytes(file_id, at, out, n);
            return static_cast<std::int64_t>(n);
        },
        res);
}

// The bytes of the real file at item.path.
void send_media(const DemoItem &item, std::uint64_t first, std::uint64_t count,
                httplib::Response &res) {
    const auto file =
        std::make_shared<FileDescriptor>(open(item.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file->get() < 0) {
        res.headers.erase("Content-Range");
        return send_text(res, 500, "The media file cannot be read");
    }
    // A file that shrank since the server started ends the answer early.
    send_pieces(
        first, count, item.container,
        [file](std::uint64_t at, char *out, std::size_t n) {
            return static_cast<std::int64_t>(pread(file->get(), out, n, static_cast<off_t>(at)));
        },
        res);
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
// one it could not parse) are dropped. Left in the request, they would be applied a second time
// to whatever this server answers: the library's release on Debian 12 cuts every answer, JSON
// included, to the range without clamping it to the content, and later releases answer 416 for
// a range that runs past the end where HTTP asks for it to be clamped. The library has no switch
// for this, so the request gives its ranges up here.
void drop_ranges(const httplib::Request &req) {
    const_cast<httplib::Request &>(req).ranges.clear();
}

void send_file_bytes(const DemoItem &item, bool real_file, const std::string &range,
                     httplib::Response &res) {
    const auto size = static_cast<std::uint64_t>(item.size);
    res.set_header("Accept-Ranges", "bytes");
    if (size == 0) return send_text(res, 200, "");
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    res.status = tessel_range_slice(range.c_str(), size, kMediaRangeRules, &first, &count);
    if (res.status == 416) {
        res.set_header("Content-Range", content_range(first, count, size));
        return send_text(res, 416, "Range Not Satisfiable");
    }
    if (res.status == 206) res.set_header("Content-Range", content_range(first, count, size));
    if (real_file) return send_media(item, first, count, res);
    send_generated(item, first, count, res);
}

}  // namespace kojelly::cli
