#include "ui/start_up.h"

#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include "probe/pacer.h"
#include "probe/scan_control.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

// Designed from Microsoft's documentation of the DLL search order, which
// Wine follows only when told to: a DLL loaded by bare name that is not a
// KnownDLL is looked for in the exe's folder first, and the system's own
// DLLs load others so too. SetDefaultDllDirectories (Windows 8 on, Vista
// and 7 with update KB2533623) limits such loads, and the imports of a DLL
// loaded by full path, to System32; XP would refuse an exe that imported
// it, so it is looked up. Where it is missing, SetDllDirectoryA("") takes
// at least the current folder out of the search, though not the exe's.
void RestrictDllSearch() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC found = kernel == nullptr ? nullptr : GetProcAddress(kernel, "SetDefaultDllDirectories");
  SetDefaultDllDirectoriesFunction limitSearch =
      reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(found));
  if (limitSearch != nullptr && limitSearch(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  SetDllDirectoryA("");
}

}  // namespace

bool StartUp() {
  // First, so that winmm's own imports and every later load come from
  // System32 too.
  RestrictDllSearch();
  LoadTimerFunctions();
  WSADATA winsock;
  bool sockets = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
  InitializeCriticalSection(&PaceLock);
  InitializeCriticalSection(&ScanStateLock);
  InitCommonControls();
  return sockets;
}
