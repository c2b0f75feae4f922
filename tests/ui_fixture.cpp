#include "ui_fixture.h"

#include <commctrl.h>

#include "probe/scan_control.h"
#include "probe/server_probe.h"
#include "resource.h"
#include "serverlist/server_table.h"
#include "ui/main_dialog.h"

namespace {
const UINT RunMessage = WM_APP + 1;
const UINT QuitMessage = WM_APP + 2;
}  // namespace

UiThread::UiThread() : dialog_(nullptr), threadId_(0) {
  ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  thread_ = std::thread([this] { Loop(); });
  WaitForSingleObject(ready_, INFINITE);
}

UiThread::~UiThread() {
  PostThreadMessageA(threadId_, QuitMessage, 0, 0);
  thread_.join();
  CloseHandle(ready_);
  MainDialog = nullptr;
}

void UiThread::Loop() {
  threadId_ = GetCurrentThreadId();
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make the queue
  dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                               MainDialogProc, 0);
  SetEvent(ready_);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == nullptr && msg.message == RunMessage) {
      auto* work = reinterpret_cast<std::pair<const std::function<void()>*, HANDLE>*>(msg.lParam);
      (*work->first)();
      SetEvent(work->second);
      continue;
    }
    if (msg.hwnd == nullptr && msg.message == QuitMessage) {
      KillTimer(dialog_, RefreshTimer);
      DestroyWindow(dialog_);
      break;
    }
    if (!IsDialogMessageA(dialog_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

void UiThread::Run(const std::function<void()>& work) {
  std::pair<const std::function<void()>*, HANDLE> job(&work,
                                                      CreateEventA(nullptr, TRUE, FALSE, nullptr));
  PostThreadMessageA(threadId_, RunMessage, 0, reinterpret_cast<LPARAM>(&job));
  WaitForSingleObject(job.second, INFINITE);
  CloseHandle(job.second);
}

void UiThread::Press(int id) {
  SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog_, id)));
}

bool UiThread::IsEnabled(int id) { return IsWindowEnabled(GetDlgItem(dialog_, id)) != FALSE; }

std::string UiThread::Caption() {
  char text[256] = {};
  GetWindowTextA(dialog_, text, sizeof text);
  return text;
}

void ResetScanState() {
  NextRow = 0;
  ActiveWorkers = 0;
  DoneRows = 0;
  TotalRows = 0;
  StopRequested = 0;
}

void AddRows(const std::vector<std::string>& addresses) {
  for (const std::string& a : addresses) {
    int row = AppendRow(a.c_str());
    SetCellText(row, ColLocation, "");
    SetSortKey(row, NoLatency);
    ++TotalRows;
  }
}

std::vector<std::string> RowTexts(int row) {
  std::vector<std::string> cells;
  for (int column = 0; column < 4; ++column) {
    char text[1024] = {};
    GetCellText(row, column, text, sizeof text);
    cells.push_back(text);
  }
  return cells;
}

int RowCount() {
  return static_cast<int>(
      SendMessageA(GetDlgItem(MainDialog, IDC_SERVERLIST), LVM_GETITEMCOUNT, 0, 0));
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(10);
  }
  return true;
}
