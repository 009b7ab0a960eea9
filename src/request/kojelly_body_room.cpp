#include "request/kojelly_body_room.hpp"

#include <cstdlib>

#include "request/kojelly_http.hpp"

namespace kojelly {

BodyRoom::~BodyRoom() {
    for (Block &k : kept_) std::free(k.data);
}

kojelly_buf BodyRoom::lend() {
    platform::LockGuard lock(lock_);
    for (Block &k : kept_) {
        if (!k.data) continue;
        kojelly_buf b{k.data, 0, k.cap};
        b.data[0] = '\0';
        k = Block{};
        return b;
    }
    return kojelly_buf{};
}

bool BodyRoom::give_back(kojelly_resp *resp, const Loan &loan) {
    if (!resp || !resp->body || loan.room != this || loan.cap <= resp->body_len) return false;
    platform::LockGuard lock(lock_);
    for (Block &k : kept_) {
        if (k.data) continue;
        k = Block{resp->body, loan.cap};
        resp->body = nullptr;
        resp->body_len = 0;
        return true;
    }
    return false;
}

}  // namespace kojelly
