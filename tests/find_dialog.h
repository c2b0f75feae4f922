// Finds the tool's main dialog from another process: a dialog-class window
// that holds the server list, owned by a process the caller accepts. Used
// by the end-to-end driver and the benchmark that watches the real program.
#ifndef DNSCHECK_TESTS_FIND_DIALOG_H
#define DNSCHECK_TESTS_FIND_DIALOG_H

#include <windows.h>

#include "resource.h"

struct DialogSearch {
  // True for the process whose dialog is wanted.
  bool (*owner)(DWORD pid, const void* context);
  const void* context;
  HWND found;
  // The owner's dialog exists but is not shown yet: its initialisation
  // (the list's load, the buttons' states) has not finished.
  bool hidden;
};

inline BOOL CALLBACK MatchMainDialog(HWND window, LPARAM lParam) {
  DialogSearch* search = reinterpret_cast<DialogSearch*>(lParam);
  char className[32];
  if (GetClassNameA(window, className, sizeof className) == 0) return TRUE;
  if (lstrcmpA(className, "#32770") != 0 || GetDlgItem(window, IDC_SERVERLIST) == nullptr)
    return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (!search->owner(pid, search->context)) return TRUE;
  if (!IsWindowVisible(window)) {
    search->hidden = true;
    return TRUE;
  }
  search->found = window;
  return FALSE;
}

// Polls every 100 ms for up to `waitMs`; null when no such dialog showed.
inline HWND FindMainDialog(DialogSearch* search, DWORD waitMs) {
  search->found = nullptr;
  search->hidden = false;
  DWORD start = GetTickCount();
  for (;;) {
    EnumWindows(MatchMainDialog, reinterpret_cast<LPARAM>(search));
    if (search->found != nullptr || GetTickCount() - start > waitMs) return search->found;
    Sleep(100);
  }
}

#endif
