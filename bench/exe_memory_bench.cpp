// The real program, watched from outside the way the system sees it: a
// copy of dnscheck.exe in a folder of its own, whose dns.ini lists loopback
// servers that this process answers. Measures its working set idle and
// during a large scan, the scan's wall time, the round trip of a message
// to its dialog from this process while twenty workers write into the
// list, and its threads and handles over repeated scans (nothing may
// leak). Beside them, what the platform itself costs: the working set of
// a program that does nothing, and what one more thread adds for several
// stack reservations, since a scan adds twenty threads.
//   exe_memory_bench EXE [rows=2000] [repeatRows=40] [repeats=10]
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "figure.h"
#include "find_dialog.h"
#include "measure.h"
#include "resource.h"
#include "test_dns_server.h"
#include "ui/start_up.h"
#include "ui_fixture.h"

namespace {

const char* const FirstAddress = "127.0.40.0";
const double ScanLimitMs = 15 * 60 * 1000;
const DWORD ShowLimitMs = 120000;
const DWORD PollMs = 20;

double Mb(SIZE_T bytes) { return static_cast<double>(bytes) / 1048576.0; }

LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 30000, &result);
  return static_cast<LRESULT>(result);
}

int ThreadsOf(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 t;
  t.dwSize = sizeof t;
  int n = 0;
  for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t)) {
    if (t.th32OwnerProcessID == pid) ++n;
  }
  CloseHandle(snap);
  return n;
}

SIZE_T WorkingSet(HANDLE process, bool peak = false) {
  PROCESS_MEMORY_COUNTERS m = {};
  m.cb = sizeof m;
  GetProcessMemoryInfo(process, &m, sizeof m);
  return peak ? m.PeakWorkingSetSize : m.WorkingSetSize;
}

// Counted in the system's table of open handles: Wine does not report
// another process's handle count (GetProcessHandleCount gives 0), but it
// does list every handle of the system.
int HandlesOf(DWORD pid) {
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  while (NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed) != 0) {
    if (buffer.size() >= (64u << 20)) return -1;
    buffer.resize(buffer.size() * 2);
  }
  const SYSTEM_HANDLE_INFORMATION* table =
      reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
  int n = 0;
  for (ULONG i = 0; i < table->Count; ++i) n += table->Handle[i].OwnerPid == pid;
  return n;
}

bool IsPid(DWORD pid, const void* wanted) { return pid == *static_cast<const DWORD*>(wanted); }

// One started copy of the program with its own folder and list.
class Program {
 public:
  Program(const std::string& exe, int rows) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "dnscheck-bench-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(rows);
    CreateDirectoryA(folder_.c_str(), nullptr);
    std::string copy = folder_ + "\\dnscheck.exe";
    std::string list = "[DNSList]\r\n";
    for (const std::string& a : LoopbackAddresses(FirstAddress, rows)) list += a + "=bench\r\n";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = "\"" + copy + "\"";
    if (!CopyFileA(exe.c_str(), copy.c_str(), FALSE) || !WriteBytes(folder_ + "\\dns.ini", list) ||
        !CreateProcessA(copy.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder_.c_str(), &startup, &info_)) {
      std::fprintf(stderr, "cannot start a copy of %s in %s\n", exe.c_str(), folder_.c_str());
      return;
    }
    DialogSearch search = {IsPid, &info_.dwProcessId, nullptr, false};
    dialog_ = FindMainDialog(&search, ShowLimitMs);
    WaitForInputIdle(info_.hProcess, 10000);
  }

  ~Program() {
    if (info_.hProcess != nullptr) {
      if (dialog_ != nullptr) PostMessageA(dialog_, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(info_.hProcess, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(info_.hProcess, 1);
        WaitForSingleObject(info_.hProcess, 10000);
      }
      CloseHandle(info_.hThread);
      CloseHandle(info_.hProcess);
    }
    DeleteFileA((folder_ + "\\dns.ini").c_str());
    DeleteFileA((folder_ + "\\dnscheck.exe").c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  bool ShowsRows(int rows) const {
    return dialog_ != nullptr &&
           Ask(GetDlgItem(dialog_, IDC_SERVERLIST), LVM_GETITEMCOUNT, 0, 0) == rows;
  }
  HANDLE process() const { return info_.hProcess; }
  DWORD pid() const { return info_.dwProcessId; }
  HWND dialog() const { return dialog_; }
  bool StartEnabled() const { return IsWindowEnabled(GetDlgItem(dialog_, IDC_START)) != FALSE; }
  // A click on Start, as the user gives it.
  void PressStart() const { Ask(GetDlgItem(dialog_, IDC_START), BM_CLICK, 0, 0); }

 private:
  std::string folder_;
  PROCESS_INFORMATION info_ = {};
  HWND dialog_ = nullptr;
};

struct ScanWatch {
  double wallMs = -1;         // from the click to Start enabled again
  SIZE_T peakWorkingSet = 0;  // the highest of the samples
  int peakThreads = 0;
  std::vector<double> roundTrips;
};

// Presses Start and watches the program until it gives Start back. The
// scan's start thread disables Start only after the click has returned,
// so the end is a Start enabled after it was seen disabled.
ScanWatch WatchScan(const Program& p, bool sample) {
  ScanWatch w;
  double start = NowMs();
  p.PressStart();
  bool began = false;
  for (int i = 0;; ++i) {
    if (sample) {
      w.peakWorkingSet = std::max(w.peakWorkingSet, WorkingSet(p.process()));
      if (i % 10 == 0) w.peakThreads = std::max(w.peakThreads, ThreadsOf(p.pid()));
      double before = NowMs();
      Ask(p.dialog(), WM_NULL, 0, 0);
      w.roundTrips.push_back(NowMs() - before);
    }
    bool enabled = p.StartEnabled();
    if (!enabled) began = true;
    if (began && enabled) break;
    if (NowMs() - start > ScanLimitMs) return w;
    Sleep(PollMs);
  }
  w.wallMs = NowMs() - start;
  return w;
}

// The rows done in the progress caption ("... 57/67"), past its code page
// 936 words.
int CaptionRowsDone(HWND dialog) {
  char caption[256] = {};
  GetWindowTextA(dialog, caption, sizeof caption);
  const char* slash = std::strrchr(caption, '/');
  if (slash == nullptr) return -1;
  const char* digits = slash;
  while (digits > caption && digits[-1] >= '0' && digits[-1] <= '9') --digits;
  return std::atoi(digits);
}

// What a program that does nothing holds: the platform's own floor.
SIZE_T IdleProgramWorkingSet() {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" --idle";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return 0;
  }
  Sleep(3000);
  SIZE_T ws = WorkingSet(info.hProcess);
  TerminateProcess(info.hProcess, 0);
  WaitForSingleObject(info.hProcess, 10000);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return ws;
}

HANDLE Release;
std::atomic<int> Waiting(0);

DWORD WINAPI WaitingThread(LPVOID) {
  Waiting.fetch_add(1);
  WaitForSingleObject(Release, INFINITE);
  return 0;
}

// Twenty threads that only wait, as many as a scan starts: the working set
// each adds, and the time from the first CreateThread to all of them
// running. Reserve 0 is the default of the exe's header.
void MeasureThreads(SIZE_T reserve, const std::string& name) {
  const int count = 20;
  Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Waiting = 0;
  Sleep(200);
  SIZE_T before = WorkingSet(GetCurrentProcess());
  double start = NowMs();
  std::vector<HANDLE> threads;
  for (int i = 0; i < count; ++i) {
    HANDLE t = CreateThread(nullptr, reserve, WaitingThread, nullptr,
                            reserve != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
    if (t != nullptr) threads.push_back(t);
  }
  while (Waiting.load() < static_cast<int>(threads.size())) Sleep(0);
  double startMs = NowMs() - start;
  Sleep(200);
  SIZE_T after = WorkingSet(GetCurrentProcess());
  SetEvent(Release);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE t : threads) CloseHandle(t);
  CloseHandle(Release);
  if (!threads.empty() && after >= before) {
    Figure("wine.thread_working_set." + name, Mb(after - before) / threads.size(), "MB");
  }
  Figure("wine.start_20_threads." + name, startMs, "ms");
}

// One large scan, sampled throughout.
bool MeasureScan(const std::string& exe, int rows) {
  Program p(exe, rows);
  if (!p.ShowsRows(rows)) {
    std::fprintf(stderr, "the program did not show its %d rows\n", rows);
    return false;
  }
  // Let start-up work (fonts, the list's first paint) settle first.
  Sleep(3000);
  SIZE_T idle = WorkingSet(p.process());
  int idleThreads = ThreadsOf(p.pid());
  ScanWatch w = WatchScan(p, true);
  if (w.wallMs < 0) {
    std::fprintf(stderr, "the scan did not end\n");
    return false;
  }
  Figure("exe.scan.rows", rows, "count");
  Figure("exe.scan.wall", w.wallMs, "ms");
  Figure("exe.scan.rows_done", CaptionRowsDone(p.dialog()), "count");
  Figure("exe.working_set.idle", Mb(idle), "MB");
  Figure("exe.working_set.peak", Mb(w.peakWorkingSet), "MB");
  Figure("exe.working_set.lifetime_peak", Mb(WorkingSet(p.process(), true)), "MB");
  Figure("exe.threads.idle", idleThreads, "count");
  Figure("exe.threads.scan_peak", w.peakThreads, "count");
  Figure("exe.round_trip.samples", static_cast<double>(w.roundTrips.size()), "count");
  Figure("exe.round_trip.median", Median(w.roundTrips), "ms");
  Figure("exe.round_trip.p99", Percentile(w.roundTrips, 0.99), "ms");
  Figure("exe.round_trip.max", Percentile(w.roundTrips, 1.0), "ms");
  Sleep(1000);
  Figure("exe.working_set.after_scan", Mb(WorkingSet(p.process())), "MB");
  return true;
}

// Repeated small scans: threads, handles and memory before the first,
// after the first, and after the last.
bool MeasureRepeats(const std::string& exe, int rows, int repeats) {
  Program p(exe, rows);
  if (!p.ShowsRows(rows)) {
    std::fprintf(stderr, "the program did not show its %d rows\n", rows);
    return false;
  }
  Figure("exe.repeat.rows", rows, "count");
  Figure("exe.repeat.scans", repeats, "count");
  Sleep(2000);
  for (int i = 0; i <= repeats; ++i) {
    if (i > 0 && WatchScan(p, false).wallMs < 0) {
      std::fprintf(stderr, "scan %d did not end\n", i);
      return false;
    }
    if (i > 1 && i < repeats) continue;
    if (i > 0) Sleep(1000);  // ended workers leave the process
    std::string when = i == 0 ? "before" : i == 1 ? "after_1" : "after_last";
    Figure("exe.repeat.threads." + when, ThreadsOf(p.pid()), "count");
    Figure("exe.repeat.handles." + when, HandlesOf(p.pid()), "count");
    Figure("exe.repeat.working_set." + when, Mb(WorkingSet(p.process())), "MB");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--idle") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: exe_memory_bench EXE [rows] [repeatRows] [repeats]\n");
    return 2;
  }
  std::string exe = argv[1];
  int rows = argc > 2 ? std::atoi(argv[2]) : 2000;
  int repeatRows = argc > 3 ? std::atoi(argv[3]) : 40;
  int repeats = argc > 4 ? std::atoi(argv[4]) : 10;

  Figure("wine.idle_program.working_set", Mb(IdleProgramWorkingSet()), "MB");
  MeasureThreads(64 * 1024, "reserve_64k");
  MeasureThreads(0, "reserve_default");
  MeasureThreads(8 * 1024 * 1024, "reserve_8m");

  if (!StartUp()) {
    std::fprintf(stderr, "the socket library did not start\n");
    return 1;
  }
  TestDnsServer servers(FirstAddress, std::max(rows, repeatRows), Honest());
  if (!servers.ok()) {
    std::fprintf(stderr, "cannot serve on %s and up, port 53\n", FirstAddress);
    return 1;
  }
  return MeasureScan(exe, rows) && MeasureRepeats(exe, repeatRows, repeats) ? 0 : 1;
}
