/* A stand-in for a media player, for the tests of `kojelly.exe play`: it writes down what it was
 * given and exits. The record, in the file that KOJELLY_STAND_IN_RECORD names, has one line per
 * argument ("arg TEXT"), the text of each file that an mpv option points it to ("file OPTION
 * TEXT", line ends shown as "\n"), and the KOJELLY_AUTHORIZATION variable ("env TEXT" or
 * "env unset"). It exits with the number in KOJELLY_STAND_IN_EXIT, 0 without it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void write_escaped(FILE *out, const char *text, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '\n') {
            fputs("\\n", out);
        } else if (text[i] == '\r') {
            fputs("\\r", out);
        } else {
            fputc(text[i], out);
        }
    }
}

static void record_file(FILE *out, const char *option, const char *path) {
    char text[8192];
    FILE *in = fopen(path, "rb");
    fprintf(out, "file %s ", option);
    if (!in) {
        fputs("(cannot be opened)\n", out);
        return;
    }
    const size_t n = fread(text, 1, sizeof text, in);
    fclose(in);
    write_escaped(out, text, n);
    fputc('\n', out);
}

int main(int argc, char **argv) {
    const char *record = getenv("KOJELLY_STAND_IN_RECORD");
    const char *exit_text = getenv("KOJELLY_STAND_IN_EXIT");
    const char *authorization = getenv("KOJELLY_AUTHORIZATION");
    if (!record) return 100;
    FILE *out = fopen(record, "wb");
    if (!out) return 101;
    for (int i = 1; i < argc; ++i) fprintf(out, "arg %s\n", argv[i]);
    for (int i = 1; i < argc; ++i) {
        static const char *const options[] = {"--include=", "--playlist="};
        for (size_t k = 0; k < sizeof options / sizeof options[0]; ++k) {
            const size_t len = strlen(options[k]);
            if (strncmp(argv[i], options[k], len) == 0) record_file(out, options[k], argv[i] + len);
        }
    }
    fprintf(out, "env %s\n", authorization ? authorization : "unset");
    fclose(out);
    return exit_text ? atoi(exit_text) : 0;
}
