// Hints for the traps of a first run against a server: after a failed command, one more line
// that says what the failure most likely means for the address the user gave (a port left out,
// the other scheme, a certificate the system does not trust, a base path too many or too few).
// The hint is chosen from what the tool's own transport saw (TransportRecord), the exit status
// and the address as typed, never from the plug-in's message, whose words may change.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http_transport.hpp"

namespace kojelly::cli {

// Where the address the plug-in used came from.
enum class AddressSource {
    option,       // --server
    full_url,     // a settings file's FullUrl
    host_member,  // a settings file's ServerUrl or HostName, with ServerPort or port 8096
};

struct TypedAddress {
    std::string text;  // as the user wrote it
    AddressSource source = AddressSource::option;
    std::string member;  // the settings file's member, for full_url and host_member
};

// The address in the settings JSON the tool built, where the plug-in reads it (FullUrl first,
// then ServerUrl, then HostName); from_option tells that FullUrl came from --server. nullopt when
// there is none as text.
std::optional<TypedAddress> typed_address(std::string_view settings_json, bool from_option);

// The hint for a command that ended with exit_status after the transport's exchanges went as
// record tells; empty when no trap fits. The text names the address and options, never a secret.
std::string hint_for(const TypedAddress &address, const TransportRecord &record, int exit_status);

}  // namespace kojelly::cli
