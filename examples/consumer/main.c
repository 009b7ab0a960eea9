/* A minimal host: load the plug-in, select its fake transport, register a tiny server, list
 * the root folder (the user's libraries) and print the listing. */
#include <dlfcn.h>
#include <stdio.h>

#include "kojelly.h"

#ifndef KOJELLY_PLUGIN_PATH
#define KOJELLY_PLUGIN_PATH "libkojelly.so.1"
#endif

static void *sym(void *lib, const char *name) {
    void *p = dlsym(lib, name);
    if (!p) fprintf(stderr, "missing export %s\n", name);
    return p;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : KOJELLY_PLUGIN_PATH;
    const char *settings = "{\"FullUrl\":\"http://media.example:8096\",\"APIKey\":\"0123456789abcdef\"}";
    char out[4096];
    kojelly_pfn_use_fake use_fake;
    kojelly_pfn_fake_set fake_set;
    kojelly_pfn_list list;
    kojelly_pfn_last_error last_error;
    int32_t rc;
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    *(void **)&use_fake = sym(lib, "kojelly_use_fake");
    *(void **)&fake_set = sym(lib, "kojelly_fake_set");
    *(void **)&list = sym(lib, "kojelly_list");
    *(void **)&last_error = sym(lib, "kojelly_last_error");
    if (!use_fake || !fake_set || !list || !last_error) return 1;

    use_fake();
    fake_set("GET", "http://media.example:8096/UserViews", 200,
             "{\"Items\":[{\"Id\":\"11\",\"Name\":\"Films\",\"IsFolder\":true,\"Type\":\"CollectionFolder\"},"
             "{\"Id\":\"12\",\"Name\":\"Shows\",\"IsFolder\":true,\"Type\":\"CollectionFolder\"}],"
             "\"TotalRecordCount\":2}");
    rc = list(settings, "", out, (int32_t)sizeof out);
    if (rc != KOJELLY_OK) {
        fprintf(stderr, "list failed (%d): %s\n", (int)rc, last_error());
        return 1;
    }
    printf("%s\n", out);
    dlclose(lib);
    return 0;
}
