// The id set of an item list, its tags, and the lookup a page makes through them.
#include "wire/kojelly_id_set.hpp"

#include <cstdlib>
#include <cstring>

#include "wire/kojelly_items.hpp"

namespace kojelly {

namespace {

constexpr uint64_t kFirstSlots = 128;

// id_hash over a stored id, read up to its NUL in the one pass: measuring it first would read
// a cold text twice.
uint64_t stored_hash(const char *text) {
    uint64_t h = kFnvOffset;
    for (; *text; ++text) {
        h ^= static_cast<unsigned char>(*text);
        h *= kFnvPrime;
    }
    return h;
}

// Whether the record at pos holds exactly id. Stored ids are compared in place, for the same
// reason.
bool holds(const kojelly_items *list, uint64_t pos, std::string_view id) {
    const char *stored = list->items[pos].id;
    return std::strncmp(stored, id.data(), id.size()) == 0 && stored[id.size()] == '\0';
}

}  // namespace

SetProbe set_probe(const kojelly_items *list, std::string_view id, uint64_t hash) {
    if (!list->set_cap) return SetProbe{false, 0, 0};
    const uint64_t mask = list->set_cap - 1;
    uint64_t i = hash & mask;
    for (; list->set[i]; i = (i + 1) & mask) {
        if (holds(list, list->set[i] - 1, id)) return SetProbe{true, i, list->set_cap};
    }
    return SetProbe{false, i, list->set_cap};
}

void set_put(kojelly_items *list, uint64_t pos) {
    const char *id = list->items[pos].id;
    if (!list->set_cap || !id) return;
    const uint64_t mask = list->set_cap - 1;
    uint64_t i = stored_hash(id) & mask;
    while (list->set[i]) i = (i + 1) & mask;
    list->set[i] = pos + 1;
}

void set_enter(kojelly_items *list, uint64_t pos, const SetProbe &p) {
    if (p.set_cap && p.set_cap == list->set_cap) {
        list->set[p.slot] = pos + 1;
    } else {
        set_put(list, pos);
    }
}

int set_room_for(kojelly_items *list, uint64_t records) {
    const uint64_t need = 2 * records;
    if (list->set_cap >= need) return 0;
    uint64_t cap = list->set_cap ? list->set_cap * 2 : kFirstSlots;
    // One doubling is enough for a list filled only page by page; one that also took appended
    // records may be further behind, and a full table would never end a probe.
    while (cap < need) cap *= 2;
    auto *slots = static_cast<uint64_t *>(std::calloc(cap, sizeof(uint64_t)));
    if (!slots) return -1;
    std::free(list->set);
    list->set = slots;
    list->set_cap = cap;
    for (uint64_t pos = 0; pos < list->count; ++pos) set_put(list, pos);
    return 0;
}

SetTags::~SetTags() {
    std::free(tags_);
}

int SetTags::follow(const kojelly_items *list) {
    if (list->set == set_ && list->set_cap == cap_ && list->count == count_) return 0;
    std::free(tags_);
    tags_ = nullptr;
    set_ = nullptr;
    cap_ = 0;
    count_ = 0;
    if (!list->set_cap) {
        count_ = list->count;
        return 0;
    }
    tags_ = static_cast<uint8_t *>(std::calloc(list->set_cap, 1));
    if (!tags_) return -1;
    for (uint64_t i = 0; i < list->set_cap; ++i) {
        if (list->set[i]) tags_[i] = tag_of(stored_hash(list->items[list->set[i] - 1].id));
    }
    set_ = list->set;
    cap_ = list->set_cap;
    count_ = list->count;
    return 0;
}

bool SetTags::find(const kojelly_items *list, std::string_view id, uint64_t hash,
                   uint64_t *slot) const {
    if (!cap_) {
        *slot = 0;
        return false;
    }
    const uint64_t mask = cap_ - 1;
    const uint8_t tag = tag_of(hash);
    uint64_t i = hash & mask;
    // An empty slot has tag 0 exactly where the set holds 0, so the probe ends where the set's
    // would; only a slot whose tag matches is looked up in the set and its record.
    for (; tags_[i]; i = (i + 1) & mask) {
        if (tags_[i] == tag && holds(list, list->set[i] - 1, id)) {
            *slot = i;
            return true;
        }
    }
    *slot = i;
    return false;
}

void SetTags::entered(const kojelly_items *list, uint64_t slot, uint64_t set_cap, uint64_t hash) {
    // A set rebuilt since the probe put the record elsewhere: the tags are made again next time.
    if (!cap_ || set_cap != cap_ || list->set != set_ || list->set_cap != cap_) return;
    tags_[slot] = tag_of(hash);
    count_ = list->count;
}

int IdLookup::prefetch(uint64_t hash) {
    if (tags_) {
        if (tags_->follow(list_) != 0) return -1;
        __builtin_prefetch(tags_->start(hash));
    } else if (list_->set_cap) {
        __builtin_prefetch(&list_->set[hash & (list_->set_cap - 1)]);
    }
    return 0;
}

SetProbe IdLookup::find(std::string_view id, uint64_t hash) const {
    if (!tags_) return set_probe(list_, id, hash);
    SetProbe p{false, 0, list_->set_cap};
    p.held = tags_->find(list_, id, hash, &p.slot);
    return p;
}

void IdLookup::entered(const SetProbe &p, uint64_t hash) {
    if (tags_) tags_->entered(list_, p.slot, p.set_cap, hash);
}

}  // namespace kojelly
