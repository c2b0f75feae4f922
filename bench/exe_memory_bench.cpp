// The real program watched from outside, as the system sees it: a copy of
// dnscheck.exe in a folder of its own, listing loopback servers that this
// process answers. Its working set idle and in a large scan, the scan's
// time, a message's round trip to its dialog while twenty workers write to
// the list, and its threads and handles over repeated scans (nothing may
// leak); beside them, the platform's own floor: an idle program's working
// set and what a thread adds at several stack reservations.
//   exe_memory_bench EXE [rows=2000] [repeatRows=40] [repeats=10]
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "figure.h"
#include "find_dialog.h"
#include "measure.h"
#include "resource.h"
#include "test_dns_server.h"
#include "text_files.h"
#include "ui/start_up.h"

namespace {

const char* const FirstAddress = "127.0.40.0";

double Mb(SIZE_T bytes) { return static_cast<double>(bytes) / 1048576.0; }

SIZE_T WorkingSet(HANDLE process, bool peak = false) {
  PROCESS_MEMORY_COUNTERS m = {};
  m.cb = sizeof m;
  GetProcessMemoryInfo(process, &m, sizeof m);
  return peak ? m.PeakWorkingSetSize : m.WorkingSetSize;
}

int ThreadsOf(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 t;
  t.dwSize = sizeof t;
  int n = 0;
  for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t)) {
    n += t.th32OwnerProcessID == pid;
  }
  CloseHandle(snap);
  return n;
}

// Counted in the system's table of handles: Wine gives 0 for another
// process's GetProcessHandleCount, and its process table's HandleCount is
// the size of the handle table, not the handles in it.
int HandlesOf(DWORD pid) {
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  while (NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed) != 0) {
    if (buffer.size() >= (64u << 20)) return -1;
    buffer.resize(buffer.size() * 2);
  }
  auto table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
  int n = 0;
  for (ULONG i = 0; i < table->Count; ++i) n += table->Handle[i].OwnerPid == pid;
  return n;
}

bool Launch(const std::string& exe, const std::string& args, const char* folder,
            PROCESS_INFORMATION* info) {
  std::string command = "\"" + exe + "\"" + args;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  return CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder,
                        &startup, info) != FALSE;
}

void Reap(const PROCESS_INFORMATION& info, DWORD graceMs) {
  if (WaitForSingleObject(info.hProcess, graceMs) != WAIT_OBJECT_0) {
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, 10000);
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

bool IsPid(DWORD pid, const void* wanted) { return pid == *static_cast<const DWORD*>(wanted); }

LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, wParam, 0, SMTO_NORMAL, 30000, &result);
  return static_cast<LRESULT>(result);
}

// A copy of the program started in a folder of its own, with its list.
struct Program {
  Program(const std::string& exe, int count) : rows(count) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder = std::string(temp) + "dnscheck-bench-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(count);
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string list = "[DNSList]\r\n";
    for (const std::string& a : LoopbackAddresses(FirstAddress, count)) list += a + "=bench\r\n";
    if (!CopyFileA(exe.c_str(), (folder + "\\dnscheck.exe").c_str(), FALSE) ||
        !WriteBytes(folder + "\\dns.ini", list) ||
        !Launch(folder + "\\dnscheck.exe", "", folder.c_str(), &info)) {
      Fail("cannot start a copy of %s in %s", exe.c_str(), folder.c_str());
      return;
    }
    DialogSearch search = {IsPid, &info.dwProcessId, nullptr, false};
    dialog = FindMainDialog(&search, 120000);
    WaitForInputIdle(info.hProcess, 10000);
  }

  ~Program() {
    if (info.hProcess != nullptr) {
      if (dialog != nullptr) PostMessageA(dialog, WM_CLOSE, 0, 0);
      Reap(info, 30000);
    }
    DeleteFileA((folder + "\\dns.ini").c_str());
    DeleteFileA((folder + "\\dnscheck.exe").c_str());
    RemoveDirectoryA(folder.c_str());
  }

  bool Shown() const {
    return (dialog != nullptr &&
            Ask(GetDlgItem(dialog, IDC_SERVERLIST), LVM_GETITEMCOUNT) == rows) ||
           Fail("the program did not show its %d rows", rows);
  }

  // Clicks Start as a user does; calls `sample` every 20 ms until Start is
  // back, and gives the time to then, or -1. The start thread disables
  // Start only after the click has returned: the end is Start enabled
  // after it was seen disabled.
  template <typename Sample>
  double Scan(Sample sample) const {
    double start = NowMs();
    Ask(GetDlgItem(dialog, IDC_START), BM_CLICK);
    for (int i = 0, began = 0; NowMs() - start < 15 * 60 * 1000; ++i, Sleep(20)) {
      sample(i);
      bool enabled = IsWindowEnabled(GetDlgItem(dialog, IDC_START)) != FALSE;
      began |= !enabled;
      if (began && enabled) return NowMs() - start;
    }
    return -1;
  }

  int rows;
  std::string folder;
  PROCESS_INFORMATION info = {};
  HWND dialog = nullptr;
};

// The rows done in the progress caption ("... 57/67").
int CaptionRowsDone(HWND dialog) {
  char caption[256] = {};
  GetWindowTextA(dialog, caption, sizeof caption);
  char* p = std::strrchr(caption, '/');
  if (p == nullptr) return -1;
  while (p > caption && std::isdigit(static_cast<unsigned char>(p[-1]))) --p;
  return std::atoi(p);
}

SIZE_T IdleProgramWorkingSet() {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  PROCESS_INFORMATION info = {};
  if (!Launch(self, " --idle", nullptr, &info)) return 0;
  Sleep(3000);
  SIZE_T ws = WorkingSet(info.hProcess);
  Reap(info, 0);
  return ws;
}

std::atomic<int> Running(0);

DWORD WINAPI WaitingThread(LPVOID release) {
  Running.fetch_add(1);
  WaitForSingleObject(release, INFINITE);
  return 0;
}

// Twenty threads that only wait, as many as a scan starts: the working set
// each adds, and the time from the first CreateThread to all running. Reserve 0 is the default
// of the exe's header.
void MeasureThreads(SIZE_T reserve, const std::string& name) {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Running = 0;
  Sleep(200);
  SIZE_T before = WorkingSet(GetCurrentProcess());
  double start = NowMs();
  std::vector<HANDLE> threads;
  for (int i = 0; i < 20; ++i) {
    HANDLE t = CreateThread(nullptr, reserve, WaitingThread, release,
                            reserve != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
    if (t != nullptr) threads.push_back(t);
  }
  while (Running.load() < static_cast<int>(threads.size())) Sleep(0);
  double startMs = NowMs() - start;
  Sleep(200);
  SIZE_T after = WorkingSet(GetCurrentProcess());
  SetEvent(release);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE t : threads) CloseHandle(t);
  CloseHandle(release);
  if (!threads.empty() && after >= before) {
    Figure("wine.thread_working_set." + name, Mb(after - before) / threads.size(), "MB");
  }
  Figure("wine.start_20_threads." + name, startMs, "ms");
}

bool MeasureScan(const std::string& exe, int rows) {
  Program p(exe, rows);
  if (!p.Shown()) return false;
  Sleep(3000);  // start-up work (fonts, the list's first paint) settles
  SIZE_T idle = WorkingSet(p.info.hProcess), peak = 0;
  int idleThreads = ThreadsOf(p.info.dwProcessId), peakThreads = 0;
  std::vector<double> trips;
  double wallMs = p.Scan([&](int i) {
    peak = std::max(peak, WorkingSet(p.info.hProcess));
    if (i % 10 == 0) peakThreads = std::max(peakThreads, ThreadsOf(p.info.dwProcessId));
    double before = NowMs();
    Ask(p.dialog, WM_NULL);
    trips.push_back(NowMs() - before);
  });
  if (wallMs < 0) return Fail("the scan did not end");
  Figure("exe.scan.rows", rows, "count");
  Figure("exe.scan.wall", wallMs, "ms");
  Figure("exe.scan.rows_done", CaptionRowsDone(p.dialog), "count");
  Figure("exe.working_set.idle", Mb(idle), "MB");
  Figure("exe.working_set.peak", Mb(peak), "MB");
  Figure("exe.working_set.lifetime_peak", Mb(WorkingSet(p.info.hProcess, true)), "MB");
  Figure("exe.threads.idle", idleThreads, "count");
  Figure("exe.threads.scan_peak", peakThreads, "count");
  Figure("exe.round_trip.samples", static_cast<double>(trips.size()), "count");
  Figure("exe.round_trip.median", Median(trips), "ms");
  Figure("exe.round_trip.p99", Percentile(trips, 0.99), "ms");
  Figure("exe.round_trip.max", Percentile(trips, 1.0), "ms");
  Sleep(1000);
  Figure("exe.working_set.after_scan", Mb(WorkingSet(p.info.hProcess)), "MB");
  return true;
}

// Threads, handles and memory before the first of several small scans,
// after the first, and after the last.
bool MeasureRepeats(const std::string& exe, int rows, int repeats) {
  Program p(exe, rows);
  if (!p.Shown()) return false;
  Figure("exe.repeat.rows", rows, "count");
  Figure("exe.repeat.scans", repeats, "count");
  Sleep(2000);
  for (int i = 0; i <= repeats; ++i) {
    if (i > 0 && p.Scan([](int) {}) < 0) return Fail("scan %d did not end", i);
    if (i > 1 && i < repeats) continue;
    if (i > 0) Sleep(1000);  // ended workers leave the process
    std::string when = i == 0 ? "before" : i == 1 ? "after_1" : "after_last";
    Figure("exe.repeat.threads." + when, ThreadsOf(p.info.dwProcessId), "count");
    Figure("exe.repeat.handles." + when, HandlesOf(p.info.dwProcessId), "count");
    Figure("exe.repeat.working_set." + when, Mb(WorkingSet(p.info.hProcess)), "MB");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--idle") == 0) Sleep(INFINITE);
  if (argc < 2) {
    Fail("usage: exe_memory_bench EXE [rows] [repeatRows] [repeats]");
    return 2;
  }
  int rows = argc > 2 ? std::atoi(argv[2]) : 2000;
  int repeatRows = argc > 3 ? std::atoi(argv[3]) : 40;
  int repeats = argc > 4 ? std::atoi(argv[4]) : 10;

  Figure("wine.idle_program.working_set", Mb(IdleProgramWorkingSet()), "MB");
  MeasureThreads(64 * 1024, "reserve_64k");
  MeasureThreads(0, "reserve_default");
  MeasureThreads(8 * 1024 * 1024, "reserve_8m");

  if (!StartUp()) {
    Fail("the socket library did not start");
    return 1;
  }
  TestDnsServer servers(FirstAddress, std::max(rows, repeatRows), Honest());
  bool ok = (servers.ok() || Fail("cannot serve on %s and up, port 53", FirstAddress)) &&
            MeasureScan(argv[1], rows) && MeasureRepeats(argv[1], repeatRows, repeats);
  return ok ? 0 : 1;
}
