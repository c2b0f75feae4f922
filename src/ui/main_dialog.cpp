#include "ui/main_dialog.h"

#include <commctrl.h>

#include "probe/scan_control.h"
#include "resource.h"
#include "serverlist/list_file.h"
#include "serverlist/server_table.h"

namespace {

const int SmallIconSize = 16;
// Rows at least as tall as a 15-pixel image; 0 wide, so no room is taken.
const int RowImageHeight = 15;

void OnInitDialog(HWND dialog) {
  MainDialog = dialog;
  HANDLE icon = LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAIN), IMAGE_ICON,
                           SmallIconSize, SmallIconSize, LR_DEFAULTCOLOR);
  SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  HWND list = GetDlgItem(dialog, IDC_SERVERLIST);
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_SUBITEMIMAGES);
  HIMAGELIST rowHeight = ImageList_Create(0, RowImageHeight, ILC_COLORDDB | ILC_MASK, 0, 0);
  SendMessageA(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rowHeight));
  SetUpColumns();
  LoadServerList();
  EnableControl(dialog, IDC_STOP, FALSE);
}

bool StartThread(LPTHREAD_START_ROUTINE routine) {
  HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);
  return true;
}

// A thread that cannot be created (an exhausted system) must not wedge
// the window: each press undoes what it took, so that the user can press
// again once the system recovers.
void OnCommand(WPARAM wParam) {
  switch (LOWORD(wParam)) {
    case IDC_START:
      // No tick will come to release this claim: no thread armed its timer.
      if (ClaimScan() && !StartThread(StartScan)) ReleaseScan();
      break;
    case IDC_STOP: {
      // Disabled here, on the UI thread, rather than by the stop thread:
      // a stop thread that ran late could otherwise disable the Stop
      // button of a scan started after its own had ended.
      HWND stop = GetDlgItem(MainDialog, IDC_STOP);
      bool wasEnabled = IsWindowEnabled(stop) != FALSE;
      AimStop();
      EnableControl(MainDialog, IDC_STOP, FALSE);
      // The tick that could disable Stop runs on this thread too, so the
      // scan this press was for is still the one running.
      if (!StartThread(StopScan) && wasEnabled) EnableControl(MainDialog, IDC_STOP, TRUE);
      break;
    }
  }
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    // TRUE puts the focus on the first tab stop: the list.
    case WM_INITDIALOG: OnInitDialog(dialog); return TRUE;
    // IDOK and IDCANCEL (Enter, Esc) fall through OnCommand and do nothing.
    case WM_COMMAND: OnCommand(wParam); return TRUE;
    case WM_TIMER: OnRefreshTick(dialog); return TRUE;
    case WM_CLOSE:
      SaveServerList();
      EndDialog(dialog, 0);
      return TRUE;
    // At log-off or shutdown no WM_CLOSE comes: Windows ends the process
    // once WM_ENDSESSION returns (Microsoft's pages for WM_QUERYENDSESSION
    // and WM_ENDSESSION), so the list is saved here as a close saves it,
    // a running scan not stopped first. The answer asked for is 0.
    // WM_QUERYENDSESSION is left to the default, which lets the session end.
    case WM_ENDSESSION:
      if (wParam) SaveServerList();
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 0);
      return TRUE;
  }
  return FALSE;
}
