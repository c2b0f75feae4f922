// Whole scans against local scripted servers, timed from the press of
// Start to the tick that gives Start back, beside the least time the
// pacer allows: five sends per answering row at one send per 10 ms, or
// six 0.5 s waits per mute row with twenty rows at a time. A second table
// times the clocks the pacer is built on, which decide how close to that
// bound a scan can come.
//   scan_bench [--quick]   (--quick leaves out the 75 s run of 500 mute rows)
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "measure.h"
#include "probe/pacer.h"
#include "probe/scan_control.h"
#include "resource.h"
#include "test_dns_server.h"
#include "ui_fixture.h"

namespace {

const int SendsPerAnsweringRow = 5;  // four reference sends, one tamper send
const double MuteRowMs = 3000;       // six waits of 0.5 s

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

// Consecutive addresses from 127.0.10.0, within the range set aside for
// this program (up to 127.0.12.255).
std::string Address(int i) {
  return "127.0." + std::to_string(10 + i / 256) + "." + std::to_string(i % 256);
}

struct Run {
  const char* kind;
  int rows;
  double boundMs;
  // From the press of Start to:
  double firstQueryMs;  // the first query's arrival at a server
  double lastQueryMs;   // the last query's arrival
  double lastWorkerMs;  // no worker left
  double tickMs;        // the tick that gives Start back
  unsigned done;
  double meanGapMs;  // between consecutive queries arriving at the servers
};

Run Scan(UiThread& ui, const char* kind, int rows, Script script, double boundMs) {
  TestDnsServer servers(Address(0), rows, script);
  Run r = {kind, rows, boundMs, 0, 0, 0, 0, 0, 0};
  if (!servers.ok()) {
    std::fprintf(stderr, "could not serve port 53\n");
    return r;
  }
  ResetScanState();
  SendMessageA(GetDlgItem(ui.dialog(), IDC_SERVERLIST), LVM_DELETEALLITEMS, 0, 0);
  std::vector<std::string> addresses;
  for (int i = 0; i < rows; ++i) addresses.push_back(Address(i));
  AddRows(addresses);

  LONGLONG start = Now();
  ui.Press(IDC_START);
  LONGLONG lastWorker = 0;
  bool counted = false;  // the start thread has counted the workers
  while (ScanInProgress() || !ui.IsEnabled(IDC_START)) {
    unsigned active = ActiveWorkers.load();
    counted = counted || active != 0;
    if (counted && lastWorker == 0 && active == 0) lastWorker = Now();
    Sleep(1);
  }
  LONGLONG end = Now();
  if (lastWorker == 0) lastWorker = end;
  r.lastWorkerMs = CounterMs(lastWorker - start);
  r.tickMs = CounterMs(end - start);
  r.done = DoneRows.load();

  std::vector<LONGLONG> arrivals;
  for (const ReceivedQuery& q : servers.Queries()) arrivals.push_back(q.when.QuadPart);
  std::sort(arrivals.begin(), arrivals.end());
  if (!arrivals.empty()) {
    r.firstQueryMs = CounterMs(arrivals.front() - start);
    r.lastQueryMs = CounterMs(arrivals.back() - start);
  }
  if (arrivals.size() > 1) {
    r.meanGapMs =
        CounterMs(arrivals.back() - arrivals.front()) / static_cast<double>(arrivals.size() - 1);
  }
  return r;
}

// Smallest step of the millisecond clock, seen over about 200 ms.
DWORD MillisecondClockStep() {
  DWORD smallest = ~0u;
  DWORD last = timeGetTime();
  LONGLONG until = Now() + static_cast<LONGLONG>(200 / CounterMs(1));
  while (Now() < until) {
    DWORD t = timeGetTime();
    if (t != last) {
      smallest = std::min(smallest, t - last);
      last = t;
    }
  }
  return smallest;
}

double MeanSleepOneMs() {
  const int calls = 100;
  LONGLONG start = Now();
  for (int i = 0; i < calls; ++i) Sleep(1);
  return CounterMs(Now() - start) / calls;
}

// The pacer alone, with nothing sent: the interval it really keeps.
double MeanPacerIntervalMs() {
  const int releases = 200;
  PaceSend();
  LONGLONG start = Now();
  for (int i = 0; i < releases; ++i) PaceSend();
  return CounterMs(Now() - start) / releases;
}

const int ReleasesPerThread = 10;

DWORD WINAPI PaceRepeatedly(LPVOID) {
  for (int k = 0; k < ReleasesPerThread; ++k) PaceSend();
  return 0;
}

// As above, with twenty threads queued on the pacer as the workers are:
// adds the cost of handing the lock from one thread to the next.
double MeanContendedPacerIntervalMs() {
  std::vector<HANDLE> threads;
  PaceSend();
  LONGLONG start = Now();
  for (int i = 0; i < ScanWorkerCount; ++i) {
    threads.push_back(CreateThread(nullptr, 0, PaceRepeatedly, nullptr, 0, nullptr));
  }
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  double ms = CounterMs(Now() - start);
  for (HANDLE t : threads) CloseHandle(t);
  return ms / (ScanWorkerCount * ReleasesPerThread);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  WSADATA winsock;
  WSAStartup(0x0202, &winsock);
  InitializeCriticalSection(&PaceLock);
  InitCommonControls();

  std::printf("## Clocks under the pacer\n\n| measure | value |\n|---|---|\n");
  std::printf("| smallest step of timeGetTime | %lu ms |\n", MillisecondClockStep());
  std::printf("| mean length of Sleep(1) | %.2f ms |\n", MeanSleepOneMs());
  std::printf("| mean interval of PaceSend, nothing sent | %.2f ms (rule: at least %lu) |\n",
              MeanPacerIntervalMs(), PaceIntervalMs);
  std::printf("| mean interval of PaceSend, %d threads queued, nothing sent | %.2f ms |\n",
              ScanWorkerCount, MeanContendedPacerIntervalMs());
  std::printf("\n");
  std::fflush(stdout);

  UiThread ui;
  std::vector<Run> runs;
  for (int rows : {20, 120, 500}) {
    runs.push_back(Scan(ui, "answering", rows, Honest(),
                        rows * SendsPerAnsweringRow * static_cast<double>(PaceIntervalMs)));
  }
  for (int rows : {20, 120, 500}) {
    if (quick && rows == 500) continue;
    double bound = ((rows + ScanWorkerCount - 1) / ScanWorkerCount) * MuteRowMs;
    runs.push_back(Scan(ui, "mute", rows, Silent(), bound));
  }

  std::printf(
      "## Scans\n\n"
      "Times in ms from the press of Start.\n\n"
      "| servers | rows | rows done | bound | first query | last query | last worker gone | "
      "completing tick | tick / bound | last worker / bound | mean gap between queries |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Run& r : runs) {
    std::printf("| %s | %d | %u | %.0f | %.0f | %.0f | %.0f | %.0f | %.3f | %.3f | %.2f |\n",
                r.kind, r.rows, r.done, r.boundMs, r.firstQueryMs, r.lastQueryMs, r.lastWorkerMs,
                r.tickMs, r.tickMs / r.boundMs, r.lastWorkerMs / r.boundMs, r.meanGapMs);
  }
  return 0;
}
