/* A C99 host: includes both public headers and links against the plug-in. */
#include <stdio.h>
#include <string.h>

#include "kojelly.h"
#include "tessel_http.h"

int main(void) {
    const kojelly_handler_table *table = korch_get();
    char out[64];
    int32_t rc;
    if (table == NULL || strcmp(table->runtime_type, "JELLYFIN") != 0 || table->caps != 51) {
        fprintf(stderr, "unexpected handler table\n");
        return 1;
    }
    rc = table->download(NULL, NULL, NULL, out, (int32_t)sizeof out);
    if (rc != KOJELLY_EUNSUPPORTED || strcmp(out, "{\"error\":\"JELLYFIN does not download\"}") != 0 ||
        strcmp(kojelly_last_error(), "JELLYFIN does not download") != 0) {
        fprintf(stderr, "download handler: %d %s\n", (int)rc, out);
        return 1;
    }
    if (strcmp(kojelly_version(), KOJELLY_EXPECTED_VERSION) != 0 || kojelly_caps() != 51) {
        fprintf(stderr, "identity exports\n");
        return 1;
    }
    /* The advertised bits are the named ones, and the operations left out are refused. */
    if (table->caps != KOJELLY_CAPS || kojelly_caps() != KOJELLY_CAPS ||
        (kojelly_caps() & (KOJELLY_CAP_DOWNLOAD | KOJELLY_CAP_WRITE)) != 0 ||
        kojelly_allow_writes(1) != KOJELLY_EUNSUPPORTED) {
        fprintf(stderr, "capability bits\n");
        return 1;
    }
    return 0;
}
