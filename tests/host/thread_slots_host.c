/*
 * The per-thread texts of kojelly.dll on Windows, as a host that starts and ends its own threads
 * sees them: each thread's texts go when the thread ends, and unloading the DLL while threads
 * that hold texts are still running neither leaks them into a callback of unloaded code nor
 * crashes those threads when they end later.
 *
 *   thread_slots_host PLUGIN      PLUGIN: the path of kojelly.dll
 *
 * Exit status 0 when both hold, 1 when a thread's texts stayed behind, 2 when the DLL could not
 * be set up. A thread that ended in unloaded code would end the process with an exception.
 */
/* windows.h first: psapi.h builds on its types. */
#include <windows.h>

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef const char *(*redact_fn)(const char *);

enum { TEXT_SIZE = 1 << 20, THREADS = 200, HOLDERS = 4 };

/* Each thread leaves a copy of this 1 MiB text in its text slot (kojelly_redact keeps it there). */
static char *g_text;
static redact_fn g_redact;
static HANDLE g_release;

static SIZE_T committed(void) {
    PROCESS_MEMORY_COUNTERS c;
    memset(&c, 0, sizeof c);
    c.cb = sizeof c;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c);
    return c.PagefileUsage;
}

static DWORD WINAPI leave_text(LPVOID unused) {
    (void)unused;
    return g_redact(g_text)[0] == 'a' ? 0 : 1;
}

static DWORD WINAPI leave_text_and_wait(LPVOID unused) {
    (void)unused;
    if (g_redact(g_text)[0] != 'a') return 1;
    WaitForSingleObject(g_release, INFINITE);
    return 0;
}

static int run_and_join(LPTHREAD_START_ROUTINE fn) {
    DWORD status = 1;
    HANDLE h = CreateThread(NULL, 0, fn, NULL, 0, NULL);
    if (!h) return 0;
    WaitForSingleObject(h, INFINITE);
    GetExitCodeThread(h, &status);
    CloseHandle(h);
    return status == 0;
}

int main(int argc, char **argv) {
    HMODULE lib;
    HANDLE holders[HOLDERS];
    SIZE_T before, after;
    int i;
    if (argc != 2) {
        fprintf(stderr, "usage: thread_slots_host PLUGIN\n");
        return 2;
    }
    g_text = malloc(TEXT_SIZE);
    lib = LoadLibraryA(argv[1]);
    g_redact = lib ? (redact_fn)(void (*)(void))GetProcAddress(lib, "kojelly_redact") : NULL;
    g_release = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!g_text || !g_redact || !g_release) {
        fprintf(stderr, "cannot set up %s\n", argv[1]);
        return 2;
    }
    memset(g_text, 'a', TEXT_SIZE - 1);
    g_text[TEXT_SIZE - 1] = '\0';

    /* Threads that end: THREADS MiB of texts if they stayed, none if they go. */
    if (!run_and_join(leave_text)) return 2;
    before = committed();
    for (i = 0; i < THREADS; ++i) {
        if (!run_and_join(leave_text)) return 2;
    }
    after = committed();
    printf("%d threads, each leaving 1 MiB in its slot: %ld KiB more committed\n", THREADS,
           (long)((after > before ? after - before : 0) / 1024));
    if (after > before + (SIZE_T)THREADS * TEXT_SIZE / 4) {
        fprintf(stderr, "the texts of ended threads stayed behind\n");
        return 1;
    }

    /* Threads that outlive the DLL. */
    for (i = 0; i < HOLDERS; ++i) {
        holders[i] = CreateThread(NULL, 0, leave_text_and_wait, NULL, 0, NULL);
        if (!holders[i]) return 2;
    }
    Sleep(100);
    before = committed();
    FreeLibrary(lib);
    after = committed();
    SetEvent(g_release);
    WaitForMultipleObjects(HOLDERS, holders, TRUE, INFINITE);
    printf("unloaded with %d threads holding texts: %ld KiB released\n", HOLDERS,
           (long)((before > after ? before - after : 0) / 1024));
    if (before < after + (SIZE_T)HOLDERS * TEXT_SIZE / 2) {
        fprintf(stderr, "unloading the DLL left the texts of its live threads behind\n");
        return 1;
    }
    return 0;
}
