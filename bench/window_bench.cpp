// How the window and the process hold up during scans: the round trip of
// a message to the dialog from another thread while twenty workers write
// into the list, the peak working set of a large scan, and threads and
// handles after repeated scans (nothing may leak).
//   window_bench [rows=2000] [repeats=10] [repeatRows=40]
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "probe/pacer.h"
#include "probe/scan_control.h"
#include "resource.h"
#include "serverlist/server_table.h"
#include "test_dns_server.h"
#include "ui_fixture.h"

namespace {

std::vector<std::string> Addresses(const char* first, int count) {
  std::vector<std::string> out;
  ULONG base = ntohl(inet_addr(first));
  for (int i = 0; i < count; ++i) {
    in_addr a;
    a.s_addr = htonl(base + static_cast<ULONG>(i));
    out.push_back(inet_ntoa(a));
  }
  return out;
}

bool ScanOver(UiThread& ui) { return !ScanInProgress() && ui.IsEnabled(IDC_START); }

int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 t;
  t.dwSize = sizeof t;
  int n = 0;
  for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t)) {
    if (t.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  }
  CloseHandle(snap);
  return n;
}

// Where new handles land in the process's handle table: leaked handles
// (threads, sockets, events) occupy slots and push this up. Counted this
// way because Wine does not report a process's handle count.
ULONG_PTR HandleHighWater() {
  const int Probes = 256;
  HANDLE events[Probes];
  ULONG_PTR highest = 0;
  for (HANDLE& e : events) {
    e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    highest = std::max(highest, reinterpret_cast<ULONG_PTR>(e));
  }
  for (HANDLE e : events) CloseHandle(e);
  return highest;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * (v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  int rows = argc > 1 ? std::atoi(argv[1]) : 2000;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 10;
  int repeatRows = argc > 3 ? std::atoi(argv[3]) : 40;
  WSADATA winsock;
  WSAStartup(0x0202, &winsock);
  InitializeCriticalSection(&PaceLock);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);

  TestDnsServer servers("127.0.20.0", rows, Honest());
  if (!servers.ok()) {
    std::printf("could not serve on 127.0.20.0/%d port 53\n", rows);
    return 1;
  }

  // One large scan, with the dialog pinged from another thread throughout.
  PROCESS_MEMORY_COUNTERS before = {};
  std::vector<double> roundTrips;
  DWORD scanMs = 0;
  {
    UiThread ui;
    ResetScanState();
    AddRows(Addresses("127.0.20.0", rows));
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    DWORD start = GetTickCount();
    ui.Press(IDC_START);
    while (!ScanOver(ui)) {
      LARGE_INTEGER a, b;
      QueryPerformanceCounter(&a);
      DWORD_PTR result;
      SendMessageTimeoutA(ui.dialog(), WM_NULL, 0, 0, SMTO_NORMAL, 10000, &result);
      QueryPerformanceCounter(&b);
      roundTrips.push_back(1000.0 * (b.QuadPart - a.QuadPart) / frequency.QuadPart);
      Sleep(20);
    }
    scanMs = GetTickCount() - start;
  }
  PROCESS_MEMORY_COUNTERS after = {};
  GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);

  // Repeated small scans: threads and handles must come back to where they were.
  UiThread ui;
  ResetScanState();
  AddRows(Addresses("127.0.20.0", repeatRows));
  ui.Press(IDC_START);
  WaitFor([&ui] { return ScanOver(ui); }, 600000);
  Sleep(500);  // let ended threads leave the process
  int threads0 = ThreadCount();
  ULONG_PTR handles0 = HandleHighWater();
  for (int i = 1; i < repeats; ++i) {
    ui.Press(IDC_START);
    WaitFor([&ui] { return ScanOver(ui); }, 600000);
  }
  Sleep(500);
  int threads1 = ThreadCount();
  ULONG_PTR handles1 = HandleHighWater();

  std::printf("| measure | value |\n|---|---|\n");
  std::printf("| rows scanned | %d |\n", rows);
  std::printf("| scan wall time | %lu ms |\n", scanMs);
  std::printf("| dialog round trip during the scan: samples | %zu |\n", roundTrips.size());
  std::printf("| dialog round trip: median | %.2f ms |\n", Percentile(roundTrips, 0.5));
  std::printf("| dialog round trip: 99th percentile | %.2f ms |\n", Percentile(roundTrips, 0.99));
  std::printf("| dialog round trip: max | %.2f ms |\n", Percentile(roundTrips, 1.0));
  std::printf("| working set before the scan | %.1f MB |\n", before.WorkingSetSize / 1048576.0);
  std::printf("| peak working set (whole bench process) | %.1f MB |\n",
              after.PeakWorkingSetSize / 1048576.0);
  std::printf("| peak growth during the scan | %.1f MB |\n",
              (after.PeakWorkingSetSize - before.WorkingSetSize) / 1048576.0);
  std::printf("| threads after scan 1 / after scan %d | %d / %d |\n", repeats, threads0, threads1);
  std::printf("| handle table high water after scan 1 / after scan %d | %#llx / %#llx |\n", repeats,
              static_cast<unsigned long long>(handles0), static_cast<unsigned long long>(handles1));
  return 0;
}
