/* Ulvane.dll: the public C interface of its exports.
 *
 * Every export is stdcall, takes NUL-terminated ANSI text (a null pointer is the
 * empty text) and 32-bit integers, and returns a 32-bit integer or a pointer to
 * ANSI text that the library owns: never null, not to be freed, valid until the
 * next call of the same export on the same thread.
 *
 * A call that fails says so only through its result (0, -1, the empty text, or for
 * Call the message itself); GetLastFailure then gives the reason: the message of the
 * failure of this thread's last call of any other export, or the empty text when
 * that call did not fail. Its text stays valid until the thread's next call of any
 * export.
 *
 * Installers load the DLL at run time, so this header gives the function types
 * and a loader rather than prototypes (an export is named Sleep, which would
 * clash with the platform's own Sleep in <windows.h>). It compiles as C89 and
 * later, and as C++. */
#ifndef ULVANE_H
#define ULVANE_H

#include <windows.h>

/* The product version: the DLL's version resource and the tools take it from here. */
#define ULVANE_VERSION "2.0.0.0"

/* How many exports a complete library has: what ulvane_resolve then returns. */
#define ULVANE_EXPORT_COUNT 10

/* The trace, off unless turned on: the environment variable naming the file each
 * export call appends its line to (unset or empty: no trace), and the one that keeps
 * texts back (unset or "1": texts in full; any other value: their lengths only). */
#define ULVANE_TRACE_VARIABLE "ULVANE_TRACE"
#define ULVANE_TRACE_ARGS_VARIABLE "ULVANE_TRACE_ARGS"
/* A trace file's first line, without its line end: the format and its tab-separated fields. */
#define ULVANE_TRACE_HEADER                          \
  "# Ulvane trace, format 3 (UTF-8, times in UTC): " \
  "time\tprocess\tthread\texport\targuments\tresult\tmilliseconds\tfailure\tserver"

/* The outside control that the server exports create: an installer checks that it is
 * registered (HKEY_CLASSES_ROOT\CLSID\<this>\InprocServer32 or LocalServer32). */
#define ULVANE_CONTROL_CLASS_ID "{88F75483-0574-11D0-8085-0000C0BD354B}"

#ifdef __cplusplus
extern "C" {
#endif

typedef int(__stdcall* UlvaneUpdateCpf)(const char* cpf_path);         /* @1 */
typedef int(__stdcall* UlvaneGetCachePort)(const char* config);        /* @2 */
typedef const char*(__stdcall* UlvaneGetCacheCpf)(const char* config); /* @3 */
typedef const char*(__stdcall* UlvaneGetCacheDir)(const char* config); /* @4 */
typedef int(__stdcall* UlvaneLoadRtn)(const char* file_path, const char* host, const char* port,
                                      const char* name_space, const char* routine); /* @5 */
typedef int(__stdcall* UlvaneSleep)(int milliseconds);                              /* @6 */
typedef const char*(__stdcall* UlvaneGetCacheConfig)(void);                         /* @7 */
typedef const char*(__stdcall* UlvaneCall)(const char* host, const char* port, const char* name_space,
                                           const char* expression);                                /* @8 */
typedef int(__stdcall* UlvaneLoadFile)(const char* host, const char* port, const char* file_path); /* @9 */
typedef const char*(__stdcall* UlvaneGetLastFailure)(void);                                        /* @10 */

/* The exports, resolved by name from a loaded Ulvane.dll. */
typedef struct UlvaneApi {
  UlvaneUpdateCpf UpdateCpf;
  UlvaneGetCachePort GetCachePort;
  UlvaneGetCacheCpf GetCacheCpf;
  UlvaneGetCacheDir GetCacheDir;
  UlvaneLoadRtn LoadRtn;
  UlvaneSleep Sleep;
  UlvaneGetCacheConfig GetCacheConfig;
  UlvaneCall Call;
  UlvaneLoadFile LoadFile;
  UlvaneGetLastFailure GetLastFailure;
} UlvaneApi;

/* C89 has no inline; every compiler of the platform knows __inline. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define ULVANE_INLINE static inline
#else
#define ULVANE_INLINE static __inline
#endif

/* Fills api from module; an export the module lacks stays null.
 * Returns the number of exports found (ULVANE_EXPORT_COUNT for a complete library). */
ULVANE_INLINE int ulvane_resolve(HMODULE module, UlvaneApi* api) {
  int found = 0;
/* Through void (*)(void), the type that converts to any function type without a warning. */
#define ULVANE_RESOLVE(name) \
  found += (api->name = (Ulvane##name)(void (*)(void))GetProcAddress(module, #name)) != NULL
  ULVANE_RESOLVE(UpdateCpf);
  ULVANE_RESOLVE(GetCachePort);
  ULVANE_RESOLVE(GetCacheCpf);
  ULVANE_RESOLVE(GetCacheDir);
  ULVANE_RESOLVE(LoadRtn);
  ULVANE_RESOLVE(Sleep);
  ULVANE_RESOLVE(GetCacheConfig);
  ULVANE_RESOLVE(Call);
  ULVANE_RESOLVE(LoadFile);
  ULVANE_RESOLVE(GetLastFailure);
#undef ULVANE_RESOLVE
  return found;
}

#ifdef __cplusplus
}
#endif

#endif
