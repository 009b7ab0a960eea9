/* A host linked directly against the embedded plug-in: lists the root through the fake
 * transport and prints the listing. */
#include <stdio.h>
#include <string.h>

#include "kojelly.h"

int main(void) {
    const char *settings = "{\"FullUrl\":\"http://media.example:8096\",\"APIKey\":\"0123456789abcdef\"}";
    if (kojelly_use_fake() != KOJELLY_OK) return 1;
    kojelly_fake_set("GET", "http://media.example:8096/UserViews", 200,
                     "{\"Items\":[{\"Id\":\"11\",\"Name\":\"Films\",\"IsFolder\":true}],"
                     "\"TotalRecordCount\":1}");
    if (kojelly_list(settings, "", NULL, 0) != KOJELLY_OK) {
        fprintf(stderr, "list failed: %s\n", kojelly_last_error());
        return 1;
    }
    printf("%s\n", kojelly_result_json());
    return strstr(kojelly_result_json(), "\"path\":\"11\"") ? 0 : 1;
}
