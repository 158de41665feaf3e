/* A harmless DLL that the planting test copies under the names of DLLs a host could be
 * tricked into loading from its own folder. Once loaded it leaves "<its path>.loaded"
 * beside itself, and it exports UlvanePlanted, by which a host tells it from the
 * system DLL of the same name. It imports from kernel32 alone, which every process
 * has loaded before it: a copy named like any DLL still loads on its own. */
#include <windows.h>

__declspec(dllexport) int UlvanePlanted(void) {
  return 1;
}

/* The entry point itself: there is no C runtime to start. */
BOOL WINAPI planted_entry(HINSTANCE self, DWORD reason, LPVOID reserved) {
  WCHAR marker[MAX_PATH + 8];
  DWORD length;
  HANDLE file;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  length = GetModuleFileNameW(self, marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpyW(marker + length, L".loaded");
  file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
