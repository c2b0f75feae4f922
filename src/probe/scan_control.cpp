#include "probe/scan_control.h"

#include "probe/pacer.h"
#include "probe/probe_texts.h"
#include "probe/server_probe.h"
#include "resource.h"
#include "serverlist/server_table.h"

std::atomic<unsigned> NextRow(0);
std::atomic<unsigned> ActiveWorkers(0);
std::atomic<unsigned> DoneRows(0);
unsigned TotalRows;

CRITICAL_SECTION ScanStateLock;

namespace {

// A scan is claimed by a press of Start and released by the tick that
// sees its last worker gone, or at once when its start thread could not be
// created. Each claim begins a new generation.
std::atomic<bool> Claimed(false);
std::atomic<unsigned> Generation(0);
std::atomic<unsigned> StopTarget(0);

}  // namespace

bool ClaimScan() {
  bool idle = false;
  if (!Claimed.compare_exchange_strong(idle, true)) return false;
  BeginFinePacing();
  EnterCriticalSection(&ScanStateLock);
  Generation.fetch_add(1);
  LeaveCriticalSection(&ScanStateLock);
  return true;
}

void ReleaseScan() {
  if (Claimed.exchange(false)) EndFinePacing();
}

void AimStop() { StopTarget = Generation.load(); }

bool ScanInProgress() { return Claimed.load(); }

void EnableControl(HWND dialog, int id, BOOL flag) { EnableWindow(GetDlgItem(dialog, id), flag); }

DWORD WINAPI StartScan(LPVOID) {
  EnableControl(MainDialog, IDC_START, FALSE);
  EnterCriticalSection(&ScanStateLock);
  StopRequested = 0;
  NextRow = 0;
  DoneRows = 0;
  LeaveCriticalSection(&ScanStateLock);
  // The workers are counted here, before any exists, so that no tick can
  // see zero workers before the scan has begun.
  ActiveWorkers.fetch_add(ScanWorkerCount);
  for (int i = 0; i < ScanWorkerCount; ++i) {
    HANDLE worker = CreateThread(nullptr, 0, ScanWorker, nullptr, 0, nullptr);
    if (worker == nullptr) {
      ActiveWorkers.fetch_sub(1);
    } else {
      CloseHandle(worker);
    }
  }
  EnableControl(MainDialog, IDC_STOP, TRUE);
  // Armed from this thread, not the window's. Microsoft's page for
  // SetTimer says the window "must be owned by the calling thread", yet
  // Windows accepts a window of the same process, as Wine's conformance
  // tests, which also run on Windows, check: the timer belongs to the
  // window, and its ticks reach the window's own thread, the UI thread,
  // where OnRefreshTick must run. Leave it here unless the call moves to
  // the UI thread with a message of its own.
  SetTimer(MainDialog, RefreshTimer, RefreshPeriodMs, nullptr);
  return 0;
}

DWORD WINAPI StopScan(LPVOID) {
  EnterCriticalSection(&ScanStateLock);
  bool current = Claimed.load() && StopTarget.load() == Generation.load();
  if (current) StopRequested = 1;
  LeaveCriticalSection(&ScanStateLock);
  if (!current) return 0;
  while (ActiveWorkers.load() != 0) Sleep(100);
  return 0;
}

DWORD WINAPI ScanWorker(LPVOID) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  DWORD ticksPerMs = static_cast<DWORD>(frequency.QuadPart / 1000);
  for (;;) {
    int row = static_cast<int>(NextRow.fetch_add(1));
    char address[AddressRoom];
    if (GetCellText(row, ColAddress, address, AddressRoom) == 0 || StopRequested.load()) break;
    if (ProbeServer(row, address, ticksPerMs) == Stopped) break;
    DoneRows.fetch_add(1);
  }
  ActiveWorkers.fetch_sub(1);
  return 0;
}

void OnRefreshTick(HWND dialog) {
  // One reading serves the caption and the end test, so the completing
  // tick never shows a worker that has already ended.
  unsigned active = ActiveWorkers.load();
  char caption[64];
  wsprintfA(caption, ProgressTitle, static_cast<int>(active), static_cast<int>(DoneRows.load()),
            static_cast<int>(TotalRows));
  SetWindowTextA(dialog, caption);
  if (active != 0) return;
  KillTimer(dialog, RefreshTimer);
  Sort();
  ReleaseScan();
  EnableControl(dialog, IDC_START, TRUE);
  EnableControl(dialog, IDC_STOP, FALSE);
}
