/* The entry points of the crypto plugin library npDravikPluginZRT.so, shared by the host that
 * loads it and the library that exports them.
 *
 * The host drives the library only through WS_ExecuteEx with JSON commands, in two phases:
 *
 *   int32_t size = 0;
 *   WS_ExecuteEx(cmd, strlen(cmd) + 1, NULL, &size, WS_PHASE_PREPARE);  // executes, sizes
 *   reply = a buffer of exactly size bytes;
 *   WS_ExecuteEx(cmd, strlen(cmd) + 1, reply, &size, WS_PHASE_RECEIVE);  // copies, no zero
 *
 * Phase 1 executes the command once and keeps its reply for the calling thread; phase 2 with
 * the same command on the same thread hands that reply over and never executes again. Every
 * result with its highest bit set (a negative number) is a failure. All entry points may be
 * called from any thread at any time; none of them ever waits for a user. */
#ifndef DRAVIK_PLUGIN_ABI_H
#define DRAVIK_PLUGIN_ABI_H

#include <stdint.h>

#if defined(DRAVIK_PLUGIN_BUILD)
#define DRAVIK_PLUGIN_API __attribute__((visibility("default")))
#else
#define DRAVIK_PLUGIN_API
#endif

#ifdef __cplusplus
#define DRAVIK_PLUGIN_NOEXCEPT noexcept
extern "C" {
#else
#define DRAVIK_PLUGIN_NOEXCEPT
#endif

/* The library's file name, looked for in the program's folder. */
#define DRAVIK_PLUGIN_FILE_NAME "npDravikPluginZRT.so"

/* The phase argument of WS_ExecuteEx. */
#define WS_PHASE_PREPARE 1
#define WS_PHASE_RECEIVE 2

/* The longest command accepted, in bytes without the terminating zero (128 MiB). */
#define WS_MAX_COMMAND_SIZE (128 * 1024 * 1024)

/* Whether an entry point's result is a failure: its highest bit is set. */
#define WS_FAILED(result) ((int32_t)(result) < 0)

/* Failures of WS_ExecuteEx; the host needs only WS_FAILED, the values tell them apart. */
#define WS_E_ARGUMENT (INT32_MIN + 1)      /* a null pointer, a bad size or a bad phase */
#define WS_E_TOO_LARGE (INT32_MIN + 2)     /* a command over WS_MAX_COMMAND_SIZE */
#define WS_E_NOT_A_COMMAND (INT32_MIN + 3) /* the text is not a command the library reads */
#define WS_E_NO_REPLY (INT32_MIN + 4)      /* phase 2 without the matching phase 1 */
#define WS_E_REPLY_TOO_LARGE (INT32_MIN + 5)
#define WS_E_INTERNAL (INT32_MIN + 6)      /* an unexpected failure inside the library */
#define WS_E_NOT_SUPPORTED (INT32_MIN + 7) /* WS_Execute, which the host never calls */
#define WS_E_FORCED (INT32_MIN + 8)        /* a failure forced by a test build's knob */

/* Reads the library's configuration from the environment; may be called again. Returns 0. */
DRAVIK_PLUGIN_API int32_t WS_Initialize(void) DRAVIK_PLUGIN_NOEXCEPT;

/* Exported for the host's symbol table only; always fails with WS_E_NOT_SUPPORTED. */
DRAVIK_PLUGIN_API int32_t WS_Execute(const char* cmd, int32_t cmdSize, char* reply,
                                     int32_t* replySize) DRAVIK_PLUGIN_NOEXCEPT;

/* One phase of one command. cmdSize is the command's length plus 1; the library reads the
 * first cmdSize - 1 bytes. Phase 1: reply is NULL; *replySize receives the reply's length
 * (no terminating zero). Phase 2: reply holds *replySize bytes; at most that many are
 * written and *replySize receives the number written. Returns 0 or a WS_E_ failure. */
DRAVIK_PLUGIN_API int32_t WS_ExecuteEx(const char* cmd, int32_t cmdSize, char* reply,
                                       int32_t* replySize, int32_t phase) DRAVIK_PLUGIN_NOEXCEPT;

/* Frees every object of the library. Returns 0. */
DRAVIK_PLUGIN_API int32_t WS_Shutdown(void) DRAVIK_PLUGIN_NOEXCEPT;

/* The entry points' types, for the host's dlsym. */
typedef int32_t (*TWS_Initialize)(void);
typedef int32_t (*TWS_Execute)(const char*, int32_t, char*, int32_t*);
typedef int32_t (*TWS_ExecuteEx)(const char*, int32_t, char*, int32_t*, int32_t);
typedef int32_t (*TWS_Shutdown)(void);

#ifdef __cplusplus
}
#endif

#endif /* DRAVIK_PLUGIN_ABI_H */
