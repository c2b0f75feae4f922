// Whole scans against local scripted servers, from the press of Start to
// the tick that gives it back, and where that time goes; before them, the
// clocks the pacer is built on, which decide how near its bound a scan comes.
//   scan_bench [--quick]   (--quick leaves out the 75 s run of 500 silent rows)
#include <windows.h>

#include <commctrl.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "figure.h"
#include "measure.h"
#include "probe/pacer.h"
#include "probe/scan_control.h"
#include "resource.h"
#include "test_dns_server.h"
#include "ui/start_up.h"
#include "ui_fixture.h"

namespace {

// Addresses from here up to 127.0.12.255 are this program's.
const char* const FirstAddress = "127.0.10.0";

bool Scan(UiThread& ui, const char* kind, int rows, Script script) {
  std::vector<std::string> addresses = LoopbackAddresses(FirstAddress, rows);
  TestDnsServer servers(FirstAddress, rows, script);
  if (!servers.ok()) return Fail("could not serve port 53");
  ResetScanState();
  SendMessageA(GetDlgItem(ui.dialog(), IDC_SERVERLIST), LVM_DELETEALLITEMS, 0, 0);
  AddRows(addresses);

  double start = NowMs();
  ui.Press(IDC_START);
  double lastWorker = 0;
  bool counted = false;  // the start thread has counted the workers
  while (ScanInProgress() || !ui.IsEnabled(IDC_START)) {
    unsigned active = ActiveWorkers.load();
    counted = counted || active != 0;
    if (counted && lastWorker == 0 && active == 0) lastWorker = NowMs();
    Sleep(1);
  }
  double end = NowMs();
  std::vector<double> arrivals;
  for (const ReceivedQuery& q : servers.Queries()) arrivals.push_back(CounterMs(q.when.QuadPart));
  std::sort(arrivals.begin(), arrivals.end());

  std::string name = std::string("scan.") + kind + "_" + std::to_string(rows);
  Figure(name + ".wall", end - start, "ms");
  Figure(name + ".rows_done", DoneRows.load(), "count");
  Figure(name + ".last_worker", (lastWorker == 0 ? end : lastWorker) - start, "ms");
  if (arrivals.size() > 1) {
    Figure(name + ".first_query", arrivals.front() - start, "ms");
    Figure(name + ".last_query", arrivals.back() - start, "ms");
    Figure(name + ".mean_gap", (arrivals.back() - arrivals.front()) / (arrivals.size() - 1), "ms");
  }
  return true;
}

// Smallest step of the millisecond clock, seen over about 200 ms.
double MillisecondClockStep() {
  DWORD smallest = ~0u;
  DWORD last = PaceClock();
  for (double until = NowMs() + 200; NowMs() < until;) {
    DWORD t = PaceClock();
    if (t != last) smallest = std::min(smallest, t - last);
    last = t;
  }
  return smallest;
}

double MeanSleepOneMs() {
  double start = NowMs();
  for (int i = 0; i < 100; ++i) Sleep(1);
  return (NowMs() - start) / 100;
}

DWORD WINAPI PaceRepeatedly(LPVOID count) {
  for (INT_PTR k = 0; k < reinterpret_cast<INT_PTR>(count); ++k) PaceSend();
  return 0;
}

// The interval the pacer keeps with nothing sent and `threads` queued on
// it; twenty, as the workers are, adds handing its lock from one to the next.
double MeanPacerIntervalMs(int threads) {
  const INT_PTR each = 200 / threads;
  std::vector<HANDLE> started;
  PaceSend();
  double start = NowMs();
  for (int i = 0; i < threads; ++i) {
    started.push_back(
        CreateThread(nullptr, 0, PaceRepeatedly, reinterpret_cast<LPVOID>(each), 0, nullptr));
  }
  WaitForMultipleObjects(static_cast<DWORD>(started.size()), started.data(), TRUE, INFINITE);
  double ms = NowMs() - start;
  for (HANDLE t : started) CloseHandle(t);
  return ms / static_cast<double>(threads * each);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  if (!StartUp()) {
    Fail("the socket library did not start");
    return 1;
  }
  Figure("clock.time_get_time_step", MillisecondClockStep(), "ms");
  Figure("clock.sleep_1", MeanSleepOneMs(), "ms");
  Figure("pacer.interval", MeanPacerIntervalMs(1), "ms");
  Figure("pacer.interval_20_threads", MeanPacerIntervalMs(ScanWorkerCount), "ms");

  UiThread ui;
  for (int rows : {20, 120, 500}) Scan(ui, "answering", rows, Honest());
  for (int rows : {20, 120, 500}) {
    if (!quick || rows < 500) Scan(ui, "silent", rows, Silent());
  }
  return 0;
}
