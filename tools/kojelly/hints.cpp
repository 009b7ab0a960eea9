// Hints after a failed command; see hints.hpp. The address is read here the way the plug-in
// reads it (an optional http:// or https:// in any case, no scheme meaning http, a port, a
// path without its trailing slashes), only to tell what was typed and to write a corrected one.
#include "hints.hpp"

#include <yyjson.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "cli_options.hpp"
#include "kojelly.h"
#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

using Doc = Handle<yyjson_doc, yyjson_doc_free>;

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";
// Where Jellyfin and Emby listen unless told otherwise, and a base path people set.
constexpr std::string_view kServerPort = "8096";
constexpr std::string_view kServerTlsPort = "8920";
constexpr std::string_view kExampleBasePath = "/jellyfin";
constexpr int kHttpNotFound = 404;

struct Address {
    bool https = false;
    std::string host;  // as written; an IPv6 literal keeps its brackets
    std::string port;  // empty when none was written
    std::string path;  // without trailing slashes; empty for none

    std::string_view port_or_default() const {
        if (!port.empty()) return port;
        return https ? "443" : "80";
    }
    // This address with another scheme, port or path.
    std::string with(bool tls, std::string_view new_port, std::string_view new_path) const {
        std::string url(tls ? kHttps : kHttp);
        url += host;
        if (!new_port.empty()) url.append(":").append(new_port);
        url += new_path;
        return url;
    }
};

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

bool all_digits(std::string_view text) {
    return text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<Address> parse_address(std::string_view text) {
    text = trim(text);
    Address a;
    if (starts_with_nocase(text, kHttp)) {
        text.remove_prefix(kHttp.size());
    } else if (starts_with_nocase(text, kHttps)) {
        a.https = true;
        text.remove_prefix(kHttps.size());
    } else if (text.find("://") != std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t authority_end = std::min(text.find_first_of("/?#"), text.size());
    std::string_view authority = text.substr(0, authority_end);
    std::string_view path = text.substr(authority_end);
    path = path.substr(0, path.find_first_of("?#"));
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view port;
    bool has_port = false;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        a.host = authority.substr(0, close + 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return std::nullopt;
        has_port = !after.empty();
        if (has_port) port = after.substr(1);
    } else {
        const auto colon = authority.find(':');
        a.host = authority.substr(0, colon);
        has_port = colon != std::string_view::npos;
        if (has_port) port = authority.substr(colon + 1);
    }
    if (a.host.empty() || (has_port && (port.empty() || !all_digits(port)))) return std::nullopt;
    a.port = port;
    a.path = path;
    return a;
}

// How the user changes the address: the option or the settings file's member, set to url.
std::string try_address(const TypedAddress &typed, const std::string &url) {
    if (typed.source == AddressSource::option) return "try --server " + url;
    return "try \"" + typed.member + "\": \"" + url + "\" in the settings file";
}

std::string port_hint(const TypedAddress &typed, const Address &a) {
    std::string hint = "an address without a port means port " + std::string(a.port_or_default()) +
                       " for " + std::string(a.https ? kHttps : kHttp) +
                       ", and nothing answered there; Jellyfin and Emby listen on port " +
                       std::string(kServerPort) + " by default";
    if (!a.https) return hint + ": " + try_address(typed, a.with(false, kServerPort, a.path));
    return hint + " (" + std::string(kServerTlsPort) + " for HTTPS, where it is set up): " +
           try_address(typed, a.with(true, kServerTlsPort, a.path)) + " or " +
           a.with(false, kServerPort, a.path);
}

std::string base_path_hint(const TypedAddress &typed, const Address &a) {
    if (a.path.empty()) {
        std::string hint =
            "the server answered 404 at this address: it may have a base URL set (a path such "
            "as " +
            std::string(kExampleBasePath) +
            " in its network settings), which belongs at the end of the address";
        if (typed.source == AddressSource::host_member) return hint;
        return hint + ": " +
               try_address(typed, a.with(a.https, a.port, std::string(kExampleBasePath)));
    }
    std::string hint = "the server answered 404 below the address's path " + a.path +
                       ": that path may be wrong, as it must be the server's base URL setting "
                       "(none unless one was set)";
    if (typed.source == AddressSource::host_member) return hint;
    return hint + ": " + try_address(typed, a.with(a.https, a.port, ""));
}

constexpr std::string_view kCertificateHint =
    "the server's TLS certificate is not trusted on this machine (self-signed, from an unknown "
    "authority, or made out to another name); if you trust this server, --insecure accepts any "
    "certificate, but gives up the proof that you reach this server and not someone in between "
    "who could read the credentials";

}  // namespace

std::optional<TypedAddress> typed_address(std::string_view settings_json, bool from_option) {
    const Doc doc(yyjson_read(settings_json.data(), settings_json.size(), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return std::nullopt;
    // The plug-in takes the first of these that holds a text, a number or a boolean.
    constexpr std::array<const char *, 3> kMembers = {"FullUrl", "ServerUrl", "HostName"};
    for (const char *member : kMembers) {
        yyjson_val *v = yyjson_obj_get(root, member);
        if (!v || !(yyjson_is_str(v) || yyjson_is_num(v) || yyjson_is_bool(v))) continue;
        if (!yyjson_is_str(v)) return std::nullopt;
        TypedAddress typed;
        typed.text.assign(yyjson_get_str(v), yyjson_get_len(v));
        typed.member = member;
        if (typed.member != "FullUrl") {
            typed.source = AddressSource::host_member;
        } else {
            typed.source = from_option ? AddressSource::option : AddressSource::full_url;
        }
        return typed;
    }
    return std::nullopt;
}

std::string hint_for(const TypedAddress &typed, const TransportRecord &record, int exit_status) {
    if (exit_status == kExitOk) return {};
    const std::optional<Address> a = parse_address(typed.text);
    if (!a) return {};
    // ServerUrl and HostName get port 8096 by default, and their scheme may come from UseHttps:
    // no corrected address is offered for them.
    const bool chooses_address = typed.source != AddressSource::host_member;
    // Once the server has answered, the address reached it: what failed was something else.
    if (!record.answered) {
        switch (record.last_failure) {
            case TransportFailure::cannot_connect:
                if (a->port.empty() && chooses_address) return port_hint(typed, *a);
                return {};
            case TransportFailure::tls_handshake:
                if (!a->https || !chooses_address) return {};
                return "the TLS handshake with " + a->host + ":" +
                       std::string(a->port_or_default()) +
                       " failed: the server may speak plain HTTP there: " +
                       try_address(typed, a->with(false, a->port_or_default(), a->path));
            case TransportFailure::no_http_answer:
                if (a->https || !chooses_address) return {};
                return a->host + ":" + std::string(a->port_or_default()) +
                       " gave no HTTP answer: the server may expect HTTPS (TLS) there: " +
                       try_address(typed, a->with(true, a->port_or_default(), a->path));
            case TransportFailure::certificate:
                return std::string(kCertificateHint);
            default:
                return {};
        }
    }
    // A 404 for an item is the plug-in's "not found"; a 404 before anything succeeded, where the
    // plug-in asks the server itself, says the address's path is not the server's.
    if (record.last_status == kHttpNotFound && !record.succeeded && exit_status > kExitStatusBase &&
        exit_status != exit_status_for(KOJELLY_ENOTFOUND))
        return base_path_hint(typed, *a);
    return {};
}

}  // namespace kojelly::cli
