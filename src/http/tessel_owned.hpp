// Ownership of C resources in C++ scopes, for the support library and every layer above it: one
// move-only handle for plain records that carry their own free operation (tessel_buf,
// tessel_collect, kojelly_cfg, ...), and unique_ptr aliases for heap blocks released by free() or
// by a C release function. The records stay plain malloc-based C records, so allocation failure
// inside them is still what the countdown allocator drives; these types only make sure that
// every path out of a scope releases them exactly once.
#pragma once

#include <cstdlib>
#include <memory>
#include <utility>

namespace tessel {

// Holds a record T in place and calls release(&record) when the scope ends. T must be a plain
// record for which a value-initialised T is empty and release of an empty record is harmless;
// a moved-from handle holds such an empty record. Move-only: a copy would release twice.
template <typename T, void (*release_fn)(T *)>
class Owned {
public:
    Owned() = default;
    // Starts from a record whose empty state is not all zeroes.
    explicit Owned(const T &initial) : value_(initial) {}
    Owned(Owned &&other) noexcept : value_(std::exchange(other.value_, T{})) {}
    Owned &operator=(Owned &&other) noexcept {
        if (this != &other) {
            release_fn(&value_);
            value_ = std::exchange(other.value_, T{});
        }
        return *this;
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { release_fn(&value_); }

    T *get() noexcept { return &value_; }
    const T *get() const noexcept { return &value_; }
    T *operator->() noexcept { return &value_; }
    const T *operator->() const noexcept { return &value_; }
    T &operator*() noexcept { return value_; }
    const T &operator*() const noexcept { return value_; }

    // Hands the record with everything it owns to the caller; the handle is empty afterwards.
    [[nodiscard]] T release() noexcept { return std::exchange(value_, T{}); }

private:
    T value_{};
};

// Calls a C release function as a unique_ptr deleter.
template <auto release_fn>
struct ReleaseWith {
    template <typename P>
    void operator()(P *p) const noexcept {
        release_fn(p);
    }
};

// A heap object released by its own C function with external linkage.
template <typename T, auto release_fn>
using Handle = std::unique_ptr<T, ReleaseWith<release_fn>>;

struct FreeBlock {
    void operator()(void *p) const noexcept { std::free(p); }
};

// A block from malloc/calloc/realloc/strdup, released with free().
template <typename T = char>
using Malloced = std::unique_ptr<T, FreeBlock>;

}  // namespace tessel
