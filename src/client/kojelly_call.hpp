// The context of one host request: everything a client operation works with, made once by the
// request driver and handed to every operation, which reports its outcome as a status code with
// the message in the call's one error record.
#pragma once

#include <cstdint>

#include "client/kojelly_session.hpp"
#include "request/kojelly_body_room.hpp"
#include "request/kojelly_cfg.hpp"
#include "request/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"

namespace kojelly {

// One request of the host. The members are made in the order the driver needs them: the
// settings, the transport that the settings' server is reached through, the session that holds
// the credentials; a listing keeps its page memory in scratch and room. Not copyable: the
// session points at the settings and the transport.
struct Call {
    OwnedCfg cfg;
    kojelly_transport transport;
    Session session;
    // What a listing keeps from page to page: the documents' arena and the id set's tags, and
    // the blocks its pages' bodies are collected into.
    PageScratch scratch;
    BodyRoom room;
    // The failure of the request, code 0 while none.
    Error err;

    // The settings' base URL, "" while none is parsed.
    const char *base() const { return cfg->base_url ? cfg->base_url : ""; }
    // Session::send on the call's thread, failures recorded in err.
    [[nodiscard]] int32_t send(const char *url, const char *body, kojelly_resp *resp,
                               BodyRoom::Loan *loan = nullptr) {
        return session.send(url, body, resp, err, loan);
    }
};

}  // namespace kojelly
