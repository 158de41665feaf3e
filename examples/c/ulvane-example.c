/* A plain C host of Ulvane.dll: loads it through the header's loader and uses
 * every export as an installer does, on the server configuration of this machine.
 *
 *   ulvane-example-c.exe ROUTINE_FILE INSTALL_ROUTINE_FILE [CONFIG]
 *
 * It registers the product in the configuration's file, loads ROUTINE_FILE into
 * the namespace ULV under its file name (ULVAPI for ...\ULVAPI.rtn), loads
 * INSTALL_ROUTINE_FILE as the install routine and checks both on the server.
 * Exit status: 0 done, 1 a step failed (the reason on standard error), 2 a usage
 * error or a DLL that does not load. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "ulvane.h"

#define HOST "127.0.0.1"
#define ATTEMPTS 3
#define PAUSE_MS 1000

static int failed(const char* what, const char* detail) {
  fprintf(stderr, "FAILED: %s: %s\n", what, detail);
  return 1;
}

/* The DLL beside this program, where an installer extracts it: loaded by its
 * full path, so no other Ulvane.dll on the search path is taken instead. */
static HMODULE load_ulvane(void) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
  char* slash = strrchr(path, '\\');
  if (length == 0 || length == MAX_PATH || !slash || (size_t)(slash - path) + 12 > MAX_PATH) return NULL;
  strcpy(slash + 1, "Ulvane.dll");
  return LoadLibraryA(path);
}

/* Copies a text result that must stay whole: 0 when it does not fit in buffer,
 * as a path cut short names another file. */
static int copy_whole(char* buffer, size_t size, const char* text) {
  size_t length = strlen(text);
  if (length >= size) return 0;
  memcpy(buffer, text, length + 1);
  return 1;
}

/* The routine's name is its file's name without the directory and ".rtn". */
static void routine_name(const char* file, char* name, size_t size) {
  const char* base = strrchr(file, '\\');
  const char* dot;
  size_t length;
  base = base ? base + 1 : file;
  dot = strrchr(base, '.');
  length = dot ? (size_t)(dot - base) : strlen(base);
  if (length >= size) length = size - 1;
  memcpy(name, base, length);
  name[length] = '\0';
}

/* Whether the outside control's class is registered, in the registry view of
 * this process (32-bit or 64-bit, as the DLL), which is where the DLL's
 * CoCreateInstance looks. */
static int control_registered(void) {
  static const char* const servers[] = {"InprocServer32", "LocalServer32"};
  size_t i;
  for (i = 0; i < sizeof servers / sizeof servers[0]; ++i) {
    char key[128];
    HKEY opened;
    sprintf(key, "CLSID\\%s\\%s", ULVANE_CONTROL_CLASS_ID, servers[i]);
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &opened) == ERROR_SUCCESS) {
      RegCloseKey(opened);
      return 1;
    }
  }
  return 0;
}

/* Call returns a failure's message where the value would be: a namespace's own
 * name is the only answer that says the server runs lines there. */
static int wait_for_namespace(const UlvaneApi* api, const char* port, const char* name_space) {
  const char* answer = "";
  int attempt;
  for (attempt = 1; attempt <= ATTEMPTS; ++attempt) {
    answer = api->Call(HOST, port, name_space, "$NAMESPACE");
    if (strcmp(answer, name_space) == 0) return 1;
    /* No server can answer through a control that is not there; waiting will not help. */
    if (!control_registered()) {
      fprintf(stderr, "FAILED: cannot talk to the server: the control is not registered (class %s): %s\n",
              ULVANE_CONTROL_CLASS_ID, answer);
      return 0;
    }
    if (attempt < ATTEMPTS) api->Sleep(PAUSE_MS);
  }
  fprintf(stderr, "FAILED: the server does not answer in %s: %s\n", name_space, answer);
  return 0;
}

/* LoadRtn's and LoadFile's 1 says the lines were sent and the control raised no
 * error, not that the routine was saved: one Call in the namespace must answer
 * with that namespace's name and 1. */
static int check_routine(const UlvaneApi* api, const char* port, const char* name_space,
                         const char* routine) {
  char expression[256];
  char expected[64];
  const char* answer;
  sprintf(expression, "$NAMESPACE_\":\"_($D(^ROUTINE(\"%.64s\"))>0)", routine);
  sprintf(expected, "%.30s:1", name_space);
  answer = api->Call(HOST, port, name_space, expression);
  if (strcmp(answer, expected) != 0) {
    fprintf(stderr, "FAILED: routine %s is not in %s: the check answered %s\n", routine, name_space, answer);
    return 0;
  }
  printf("Checked: routine %s is in %s\n", routine, name_space);
  return 1;
}

int main(int argc, char** argv) {
  HMODULE dll;
  UlvaneApi api;
  const char* names;
  const char* wanted = argc > 3 ? argv[3] : NULL;
  char config[256] = "";
  char directory[MAX_PATH];
  char cpf[MAX_PATH];
  char port[16];
  char routine[64];
  int port_number;
  int status = 1;

  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: ulvane-example-c.exe ROUTINE_FILE INSTALL_ROUTINE_FILE [CONFIG]\n");
    return 2;
  }
  dll = load_ulvane();
  if (!dll || ulvane_resolve(dll, &api) != ULVANE_EXPORT_COUNT) {
    fprintf(stderr, "cannot load Ulvane.dll beside this program (error %lu)\n", GetLastError());
    if (dll) FreeLibrary(dll);
    return 2;
  }

  /* GetCacheConfig: names separated by CR LF; take CONFIG, or else the first. */
  names = api.GetCacheConfig();
  while (*names) {
    size_t length = strcspn(names, "\r");
    if (!config[0] && length < sizeof config &&
        (!wanted || (strlen(wanted) == length && strncmp(names, wanted, length) == 0))) {
      memcpy(config, names, length);
      config[length] = '\0';
    }
    names += length;
    if (names[0] == '\r' && names[1] == '\n') names += 2;
  }
  if (!config[0]) {
    status = failed("configuration", wanted ? wanted : "none is installed");
    goto done;
  }
  printf("Configuration: %s\n", config);

  /* Text results stay valid only until the same export is called again: copy them,
   * whole, or stop; this program writes to the configuration file by its path. */
  if (!copy_whole(directory, sizeof directory, api.GetCacheDir(config))) {
    status = failed("configuration", "its directory is longer than this program takes");
    goto done;
  }
  if (!copy_whole(cpf, sizeof cpf, api.GetCacheCpf(config))) {
    status = failed("configuration", "its configuration file's path is longer than this program takes");
    goto done;
  }
  port_number = api.GetCachePort(config);
  if (!directory[0] || !cpf[0] || port_number == -1) {
    status = failed("configuration", "no directory, configuration file or port");
    goto done;
  }
  sprintf(port, "%d", port_number);
  printf("Directory: %s\nConfiguration file: %s\nPort: %s\n", directory, cpf, port);

  if (!wait_for_namespace(&api, port, "%SYS")) goto done;
  printf("Server: %s\n", api.Call(HOST, port, "%SYS", "$ZV"));

  if (api.UpdateCpf(cpf) != 1) {
    status = failed("UpdateCpf", cpf);
    goto done;
  }
  printf("Registered namespace ULV and web application /csp/ulv\n");
  if (!wait_for_namespace(&api, port, "ULV")) goto done;

  routine_name(argv[1], routine, sizeof routine);
  if (api.LoadRtn(argv[1], HOST, port, "ULV", routine) != 1) {
    status = failed("LoadRtn", argv[1]);
    goto done;
  }
  if (api.LoadFile(HOST, port, argv[2]) != 1) {
    status = failed("LoadFile", argv[2]);
    goto done;
  }
  if (!check_routine(&api, port, "ULV", routine) || !check_routine(&api, port, "%SYS", "QUMAINST")) goto done;
  printf("Installed.\n");
  status = 0;

done:
  FreeLibrary(dll);
  return status;
}
