/*
 * A host built against an installed kojelly with pkg-config alone (tests/package/
 * pkgconfig_consumer.sh): it links the support library (pkg-config --libs tessel), loads the
 * installed plug-in at run time through the header's kojelly_pfn_ types, hands it an http-backed
 * io over tessel's scripted fake server and lists the root, once through the flat exports and
 * once through the handler table.
 *
 *   pkgconfig_host PLUGIN VERSION    PLUGIN: the path to dlopen; VERSION: what pkg-config
 *                                    --modversion kojelly says
 *
 * Prints the listing; exit status 0 when every step gave what it should, else 1 with the step
 * on stderr.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "kojelly.h"

#define VIEWS_URL "http://media.example:8096/UserViews"

static const char kSettings[] =
    "{\"FullUrl\":\"http://media.example:8096\",\"APIKey\":\"0123456789abcdef\"}";
static const char kViews[] =
    "{\"Items\":["
    "{\"Id\":\"11\",\"Name\":\"Films\",\"IsFolder\":true,\"Type\":\"CollectionFolder\"},"
    "{\"Id\":\"12\",\"Name\":\"Shows\",\"IsFolder\":true,\"Type\":\"CollectionFolder\"}],"
    "\"TotalRecordCount\":2}";

typedef struct exports {
    kojelly_pfn_korch_get korch_get;
    kojelly_pfn_version version;
    kojelly_pfn_set_io set_io;
    kojelly_pfn_list list;
    kojelly_pfn_result_json result_json;
    kojelly_pfn_last_error last_error;
} exports;

static int fail(const char *step, const char *detail) {
    fprintf(stderr, "pkgconfig_host: %s%s%s\n", step, detail ? ": " : "", detail ? detail : "");
    return 1;
}

/* dlsym's answer stored into a function pointer, the way POSIX documents for dlsym. */
static int resolve(void *lib, const char *name, void **slot) {
    *slot = dlsym(lib, name);
    if (*slot == NULL) fail("the plug-in lacks an export", name);
    return *slot != NULL;
}

/* Both libraries of the fake listing, in the order the server gave them. */
static int lists_both_views(const char *listing) {
    const char *films = strstr(listing, "\"path\":\"11\"");
    const char *shows = strstr(listing, "\"path\":\"12\"");
    return films != NULL && shows != NULL && films < shows;
}

static int run(void *lib, const char *version) {
    exports e;
    const kojelly_handler_table *table;
    tessel_http_ctx ctx;
    tessel_io io;
    const char *request;
    char out[4096];
    if (!resolve(lib, "korch_get", (void **)&e.korch_get) ||
        !resolve(lib, "kojelly_version", (void **)&e.version) ||
        !resolve(lib, "kojelly_set_io", (void **)&e.set_io) ||
        !resolve(lib, "kojelly_list", (void **)&e.list) ||
        !resolve(lib, "kojelly_result_json", (void **)&e.result_json) ||
        !resolve(lib, "kojelly_last_error", (void **)&e.last_error))
        return 1;

    table = e.korch_get();
    if (strcmp(table->runtime_type, "JELLYFIN") != 0 || table->caps != KOJELLY_CAPS)
        return fail("unexpected handler table", table->runtime_type);
    if (strcmp(e.version(), version) != 0) return fail("the plug-in's version is", e.version());

    /* The transport is the host's own copy of the support library's fake server. */
    tessel_fake_reset();
    if (tessel_fake_set("GET", VIEWS_URL, 200, "Content-Type: application/json", kViews,
                        sizeof kViews - 1) != 0)
        return fail("cannot register the fake route", NULL);
    memset(&ctx, 0, sizeof ctx);
    ctx.magic = TESSEL_HTTP_CTX_MAGIC;
    ctx.size = sizeof ctx;
    ctx.http = tessel_http_fake();
    memset(&io, 0, sizeof io);
    io.ctx = &ctx;
    if (tessel_http_of(&io) == NULL) return fail("tessel_http_of refuses the io", NULL);

    if (e.set_io(&io) != KOJELLY_OK) return fail("kojelly_set_io", e.last_error());
    if (e.list(kSettings, "", NULL, 0) != KOJELLY_OK) return fail("kojelly_list", e.last_error());
    if (!lists_both_views(e.result_json())) return fail("unexpected listing", e.result_json());
    request = tessel_fake_last_request();
    if (request == NULL || strstr(request, "Authorization: MediaBrowser ") == NULL ||
        strstr(request, "Token=\\\"0123456789abcdef\\\"") == NULL)
        return fail("the request lacks the Authorization header", request);
    printf("%s\n", e.result_json());
    e.set_io(NULL);

    if (table->list(&io, kSettings, "", out, (int32_t)sizeof out) != KOJELLY_OK)
        return fail("the table's list", e.last_error());
    if (!lists_both_views(out)) return fail("unexpected listing from the table", out);
    if (tessel_fake_calls("GET", VIEWS_URL) != 2)
        return fail("the fake server did not see both requests", NULL);
    return 0;
}

int main(int argc, char **argv) {
    void *lib;
    int status;
    if (argc != 3) {
        fprintf(stderr, "usage: pkgconfig_host PLUGIN VERSION\n");
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) return fail("cannot load the plug-in", dlerror());
    status = run(lib, argv[2]);
    dlclose(lib);
    return status;
}
