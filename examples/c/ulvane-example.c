/* A plain C host of Ulvane.dll: loads it at run time through the header's loader
 * and does what an installer does, with every export.
 *
 *   ulvane-example.exe CONFIG ROUTINE_FILE
 *
 * Finds configuration CONFIG, registers the product in its configuration file,
 * loads ROUTINE_FILE into the server on 127.0.0.1 at the configuration's port (as
 * routine ULVEXAMPLE in ULV, and as the install routine in %SYS) and checks that
 * it was saved. Exits with 0 when every step succeeded, 1 when a step failed and
 * 2 when Ulvane.dll (beside this program) cannot be used.
 *
 * Build: i686-w64-mingw32-gcc -std=c99 -I include ulvane-example.c -o ulvane-example.exe */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "ulvane.h"

#define HOST "127.0.0.1"
#define NAMESPACE "ULV"
#define ROUTINE "ULVEXAMPLE"

static int failed(const char* step, const char* detail) {
  fprintf(stderr, "ulvane-example: %s failed: %s\n", step, detail);
  return 1;
}

/* GetCacheConfig lists the names separated by CR LF. */
static int listed(const char* names, const char* config) {
  size_t length = strlen(config);
  const char* line = names;
  while (*line) {
    const char* end = strstr(line, "\r\n");
    size_t line_length = end ? (size_t)(end - line) : strlen(line);
    if (line_length == length && _strnicmp(line, config, length) == 0) return 1;
    line += line_length + (end ? 2 : 0);
  }
  return 0;
}

static int install(const UlvaneApi* api, const char* config, const char* routine_file) {
  char port[16];
  char cpf[MAX_PATH];
  const char* saved;

  if (!listed(api->GetCacheConfig(), config)) return failed("GetCacheConfig", config);
  printf("configuration: %s\n", config);
  printf("directory: %s\n", api->GetCacheDir(config));
  strncpy(cpf, api->GetCacheCpf(config), sizeof cpf - 1);
  cpf[sizeof cpf - 1] = '\0';
  if (!*cpf) return failed("GetCacheCpf", "no configuration file");
  printf("configuration file: %s\n", cpf);
  if (api->GetCachePort(config) <= 0) return failed("GetCachePort", "no port");
  snprintf(port, sizeof port, "%d", api->GetCachePort(config));
  printf("port: %s\n", port);

  /* Call returns a failure's message where the value would be: compare with the
   * one answer that means success. */
  if (strcmp(api->Call(HOST, port, "%SYS", "$NAMESPACE"), "%SYS") != 0)
    return failed("Call", api->Call(HOST, port, "%SYS", "$NAMESPACE"));
  printf("server: %s\n", api->Call(HOST, port, "%SYS", "$ZV"));

  if (api->UpdateCpf(cpf) != 1) return failed("UpdateCpf", cpf);
  printf("registered: %s in %s\n", NAMESPACE, cpf);
  api->Sleep(100); /* as an installer gives the server a moment to take the namespace */

  if (api->LoadRtn(routine_file, HOST, port, NAMESPACE, ROUTINE) != 1) return failed("LoadRtn", routine_file);
  if (api->LoadFile(HOST, port, routine_file) != 1) return failed("LoadFile", routine_file);
  saved = api->Call(HOST, port, NAMESPACE, "$D(^ROUTINE(\"" ROUTINE "\"))");
  if (strcmp(saved, "1") != 0 && strcmp(saved, "10") != 0 && strcmp(saved, "11") != 0)
    return failed("Call", saved);
  printf("loaded: %s into %s and %%SYS\n", ROUTINE, NAMESPACE);
  return 0;
}

int main(int argc, char** argv) {
  char path[MAX_PATH];
  DWORD length;
  char* slash;
  HMODULE dll;
  UlvaneApi api;
  int status;

  if (argc != 3) {
    fprintf(stderr, "usage: ulvane-example.exe CONFIG ROUTINE_FILE\n");
    return 2;
  }
  /* By full path, as installers do: the file meant, not one found on the search path. */
  length = GetModuleFileNameA(NULL, path, MAX_PATH);
  slash = strrchr(path, '\\');
  if (length == 0 || length >= MAX_PATH || !slash || (size_t)(slash + 1 - path) + 11 > MAX_PATH) {
    fprintf(stderr, "ulvane-example: cannot tell where this program is\n");
    return 2;
  }
  strcpy(slash + 1, "Ulvane.dll");
  dll = LoadLibraryA(path);
  if (!dll) {
    fprintf(stderr, "ulvane-example: cannot load %s (error %lu)\n", path, GetLastError());
    return 2;
  }
  if (ulvane_resolve(dll, &api) != 9) {
    fprintf(stderr, "ulvane-example: %s lacks some of the nine exports\n", path);
    FreeLibrary(dll);
    return 2;
  }
  printf("library: %s\n", path);
  status = install(&api, argv[1], argv[2]);
  FreeLibrary(dll);
  return status;
}
