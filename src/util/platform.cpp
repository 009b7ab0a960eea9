// The per-thread texts (see platform.hpp) on each system.
#include "util/platform.hpp"

#include <cstdlib>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace platform {

namespace {

// One thread's texts. Zeroed means empty.
struct Texts {
    char *text[static_cast<unsigned>(ThreadText::count)];
};

void release(Texts &t) {
    for (char *&text : t.text) {
        std::free(text);
        text = nullptr;
    }
}

#if defined(_WIN32)

// A fiber-local slot with a release callback, which Windows calls when a thread ends and, for
// every thread at once, when the slot is freed as the DLL is unloaded: so a host that starts and
// ends threads, or unloads the plug-in, keeps none of their texts. (The compiler's emulated
// thread_local would leave them behind in a DLL whose runtime is linked in statically.) The
// record itself comes from the process heap: it is bookkeeping, not one of the library's texts.
void WINAPI release_block(void *block) {
    if (!block) return;
    release(*static_cast<Texts *>(block));
    HeapFree(GetProcessHeap(), 0, block);
}

class Slot {
public:
    Slot() noexcept : index_(FlsAlloc(release_block)) {}
    // Runs as the DLL is unloaded (or the program ends); any later use finds no slot.
    ~Slot() {
        if (index_ != FLS_OUT_OF_INDEXES) FlsFree(std::exchange(index_, FLS_OUT_OF_INDEXES));
    }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;

    // The calling thread's texts; with make, created when missing. Null when there are none.
    Texts *texts(bool make) noexcept {
        if (index_ == FLS_OUT_OF_INDEXES) return nullptr;
        auto *t = static_cast<Texts *>(FlsGetValue(index_));
        if (t || !make) return t;
        t = static_cast<Texts *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Texts)));
        if (t && !FlsSetValue(index_, t)) {
            HeapFree(GetProcessHeap(), 0, t);
            t = nullptr;
        }
        return t;
    }

private:
    DWORD index_;
};

Slot g_slot;

Texts *texts(bool make) noexcept { return g_slot.texts(make); }

#else

struct ThreadTexts {
    Texts t{};
    ~ThreadTexts() { release(t); }
};

Texts *texts(bool) noexcept {
    thread_local ThreadTexts t_texts;
    return &t_texts.t;
}

#endif

}  // namespace

const char *thread_text(ThreadText which) noexcept {
    const Texts *t = texts(false);
    return t ? t->text[static_cast<unsigned>(which)] : nullptr;
}

void set_thread_text(ThreadText which, char *text) noexcept {
    Texts *t = texts(true);
    if (!t) {
        std::free(text);
        return;
    }
    char *&slot = t->text[static_cast<unsigned>(which)];
    std::free(slot);
    slot = text;
}

}  // namespace platform
