/* Loads the plug-in the way a media-player host does (dlopen + korch_get) and prints what the
 * entry point hands over. */
#include <dlfcn.h>
#include <stdio.h>

#include "kojelly.h"

typedef const kojelly_handler_table *(*korch_get_fn)(void);

static const char *present(const void *fn) { return fn ? "present" : "absent"; }

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "./libkojelly.so";
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    korch_get_fn get;
    const kojelly_handler_table *t;
    if (!lib) {
        fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    *(void **)(&get) = dlsym(lib, "korch_get");
    if (!get) {
        fprintf(stderr, "%s has no korch_get\n", path);
        dlclose(lib);
        return 1;
    }
    t = get();
    printf("plug-in:      %s\n", path);
    printf("runtime type: %s\n", t->runtime_type);
    printf("caps:         %d (0x%x)\n", (int)t->caps, (unsigned)t->caps);
    printf("validate:     %s\n", present((const void *)t->validate));
    printf("list:         %s\n", present((const void *)t->list));
    printf("stream_url:   %s\n", present((const void *)t->stream_url));
    printf("download:     %s\n", present((const void *)t->download));
    dlclose(lib);
    return 0;
}
