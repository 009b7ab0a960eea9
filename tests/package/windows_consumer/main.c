/* A Windows host linked against kojelly.dll's import library: it selects the fake transport,
 * registers a tiny server, lists the root folder and prints the listing, then takes the device
 * id and releases it with the free() of the C runtime that allocated it (msvcrt.dll), as a host
 * built with another runtime must. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "kojelly.h"

typedef void(__cdecl *crt_free_fn)(void *);

int main(void) {
    const char *settings =
        "{\"FullUrl\":\"http://media.example:8096\",\"APIKey\":\"0123456789abcdef\","
        "\"DeviceId\":\"windows-consumer\"}";
    char out[4096];
    char *device_id;
    crt_free_fn crt_free;
    HMODULE crt = LoadLibraryA("msvcrt.dll");
    int32_t rc;

    if (kojelly_use_fake() != KOJELLY_OK) return 1;
    kojelly_fake_set("GET", "http://media.example:8096/UserViews", 200,
                     "{\"Items\":[{\"Id\":\"11\",\"Name\":\"Films\",\"IsFolder\":true,"
                     "\"Type\":\"CollectionFolder\"},{\"Id\":\"12\",\"Name\":\"S\xc3\xa9ries\","
                     "\"IsFolder\":true,\"Type\":\"CollectionFolder\"}],\"TotalRecordCount\":2}");
    rc = kojelly_list(settings, "", out, (int32_t)sizeof out);
    if (rc != KOJELLY_OK) {
        fprintf(stderr, "list failed (%d): %s\n", (int)rc, kojelly_last_error());
        return 1;
    }
    printf("%s\n", out);

    device_id = kojelly_device_id(settings);
    crt_free = crt ? (crt_free_fn)(void (*)(void))GetProcAddress(crt, "free") : NULL;
    if (device_id == NULL || crt_free == NULL || strcmp(device_id, "windows-consumer") != 0) {
        fprintf(stderr, "device id: %s\n", device_id ? device_id : "(null)");
        return 1;
    }
    crt_free(device_id);
    printf("device id released with msvcrt.dll's free\n");
    return 0;
}
