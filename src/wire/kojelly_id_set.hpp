// The id set of an item list (kojelly_items): it tells a page whether the list holds an id
// already without a pass over the records. The set is open addressing over the list's records:
// a slot holds 0 or a record's position plus one, found from the 64-bit FNV-1a hash of the id
// with linear probing, and it is kept at most half full, which is what makes every probe end at
// an empty slot. A listing's pages probe it through SetTags, one byte per slot beside the set.
#pragma once

#include <cstdint>
#include <string_view>

struct kojelly_items;

namespace kojelly {

// The parameters of 64-bit FNV-1a.
inline constexpr uint64_t kFnvOffset = 14695981039346656037ULL;
inline constexpr uint64_t kFnvPrime = 1099511628211ULL;

// The hash an id is placed by in the set: FNV-1a over its bytes.
inline uint64_t id_hash(std::string_view id) {
    uint64_t h = kFnvOffset;
    for (unsigned char c : id) {
        h ^= c;
        h *= kFnvPrime;
    }
    return h;
}

// Where an id was looked for in the set: the slot that holds it, or the empty slot where the
// probe ended, at the set's size then (0 when the list had no set).
struct SetProbe {
    bool held;
    uint64_t slot;
    uint64_t set_cap;
};

// Looks id (whose hash is hash) up in list's set.
SetProbe set_probe(const kojelly_items *list, std::string_view id, uint64_t hash);

// Enters the record at pos into the set, which must have room; it does not look for an equal id.
void set_put(kojelly_items *list, uint64_t pos);

// Enters the record at pos, whose id was probed for at p and not found, into the set, which must
// have room: into the slot where the probe ended while the set has not been rebuilt since, which
// spares hashing the id again.
void set_enter(kojelly_items *list, uint64_t pos, const SetProbe &p);

// Keeps the set at most half full once the list holds records records, rebuilding it at the new
// size. 0, or -1 with the set unchanged when memory runs out.
[[nodiscard]] int set_room_for(kojelly_items *list, uint64_t records);

// One byte per slot of a list's id set, taken from the high bits of the hash of the id held
// there (0 for an empty slot). A probe reads these before it reads a record: an id that is not
// held then costs a look into this array, a quarter of a megabyte for a full listing, instead of
// into the 2 MiB set and the record and text of every id it meets on the way. The tags follow
// one list, and are made again whenever its set changed behind them.
class SetTags {
public:
    SetTags() = default;
    ~SetTags();
    SetTags(const SetTags &) = delete;
    SetTags &operator=(const SetTags &) = delete;

    // Brings the tags in line with list's set. 0, or -1 when memory runs out.
    [[nodiscard]] int follow(const kojelly_items *list);
    // The slot that holds id (hash is its set hash), or the empty slot where probing ended;
    // held tells which. The tags must follow list.
    bool find(const kojelly_items *list, std::string_view id, uint64_t hash, uint64_t *slot) const;
    // The record just appended to list went into slot of a set of set_cap slots.
    void entered(const kojelly_items *list, uint64_t slot, uint64_t set_cap, uint64_t hash);
    // Where a probe for hash begins, to fetch it early; NULL while there are no tags.
    const uint8_t *start(uint64_t hash) const {
        return cap_ ? tags_ + (hash & (cap_ - 1)) : nullptr;
    }

private:
    static uint8_t tag_of(uint64_t hash) { return static_cast<uint8_t>(hash >> 56) | 1u; }

    uint8_t *tags_ = nullptr;
    uint64_t cap_ = 0;               // the set's slots when the tags were made
    const uint64_t *set_ = nullptr;  // the set they were made for
    uint64_t count_ = 0;             // the records the list held when they last matched
};

// How one page looks its ids up in a list's set: through a listing's tags when it has them,
// else in the set itself.
class IdLookup {
public:
    IdLookup(const kojelly_items *list, SetTags *tags) : list_(list), tags_(tags) {}

    // Starts fetching the slot where the probe for hash begins: the slot of a large list is far
    // from any cache, and the item's members are read while it arrives. 0, or -1 when the tags
    // cannot follow the list for want of memory.
    [[nodiscard]] int prefetch(uint64_t hash);
    // Looks id up; prefetch(hash) came first.
    SetProbe find(std::string_view id, uint64_t hash) const;
    // The record just appended to the list holds the id that was looked up at p.
    void entered(const SetProbe &p, uint64_t hash);

private:
    const kojelly_items *list_;
    SetTags *tags_;
};

}  // namespace kojelly
