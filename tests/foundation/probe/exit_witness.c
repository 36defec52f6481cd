/* Loaded by the exit probe's Windows hosts twice, as two files, one before
 * the module and one after it. When the process ends, the system tells its
 * libraries in the reverse order of their start-up, so the copy loaded after
 * the module is told before the module and the copy loaded before it after
 * the module. Each, when told, leaves an empty file beside itself named after
 * itself with ".detached" added. A host that never ends shows by these files
 * how far its way out went: whether it stopped in the module's part of it. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  if (reason != DLL_PROCESS_DETACH || reserved == NULL) return TRUE;
  WCHAR path[MAX_PATH + 16];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpyW(path + length, L".detached");
  HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  return TRUE;
}
