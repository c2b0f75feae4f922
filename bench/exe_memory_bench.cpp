// The real program, watched from outside the way the system sees it: a
// copy of dnscheck.exe in a folder of its own, whose dns.ini lists loopback
// servers that this process answers. Prints its working set idle and
// during a large scan, its threads, the round trip of a message to its
// dialog from this process, and its threads and handles after repeated
// scans. Beside them, what the platform itself costs: the working set of
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

#include "resource.h"
#include "test_dns_server.h"

namespace {

const char* const FirstAddress = "127.0.40.0";
const DWORD ScanLimitMs = 15 * 60 * 1000;
const DWORD ShowLimitMs = 120000;
const DWORD PollMs = 20;

std::string Address(int i) {
  in_addr a;
  a.s_addr = htonl(ntohl(inet_addr(FirstAddress)) + static_cast<ULONG>(i));
  return inet_ntoa(a);
}

double Mb(SIZE_T bytes) { return static_cast<double>(bytes) / 1048576.0; }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WriteList(const std::string& path, int rows) {
  std::string text = "[DNSList]\r\n";
  for (int i = 0; i < rows; ++i) text += Address(i) + "=bench\r\n";
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
  CloseHandle(f);
  return ok;
}

struct FindRequest {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM lParam) {
  FindRequest* request = reinterpret_cast<FindRequest*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  char className[32];
  if (pid != request->pid || !IsWindowVisible(window) ||
      GetClassNameA(window, className, sizeof className) == 0 ||
      lstrcmpA(className, "#32770") != 0 || GetDlgItem(window, IDC_SERVERLIST) == nullptr) {
    return TRUE;
  }
  request->found = window;
  return FALSE;
}

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

PROCESS_MEMORY_COUNTERS Memory(HANDLE process) {
  PROCESS_MEMORY_COUNTERS m = {};
  m.cb = sizeof m;
  GetProcessMemoryInfo(process, &m, sizeof m);
  return m;
}

// The system's table of open handles, counted for one process. Wine does
// not report another process's handle count (GetProcessHandleCount gives
// 0), but it does list every handle of the system.
struct HandleEntry {
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ACCESS_MASK access;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};
const SYSTEM_INFORMATION_CLASS SystemHandleList = static_cast<SYSTEM_INFORMATION_CLASS>(16);

int HandlesOf(DWORD pid) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    NTSTATUS status = NtQuerySystemInformation(SystemHandleList, buffer.data(),
                                               static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) break;
    if (buffer.size() >= (64u << 20)) return -1;
    buffer.resize(buffer.size() * 2);
  }
  const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
  int n = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].ownerPid == pid) ++n;
  }
  return n;
}

// One started copy of the program with its own folder and list.
class Program {
 public:
  explicit Program(const std::string& exe, int rows) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "dnscheck-bench-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(rows);
    CreateDirectoryA(folder_.c_str(), nullptr);
    std::string copy = folder_ + "\\dnscheck.exe";
    if (!CopyFileA(exe.c_str(), copy.c_str(), FALSE)) {
      std::fprintf(stderr, "cannot copy %s\n", exe.c_str());
      return;
    }
    if (!WriteList(folder_ + "\\dns.ini", rows)) {
      std::fprintf(stderr, "cannot write the list\n");
      return;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = "\"" + copy + "\"";
    if (!CreateProcessA(copy.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder_.c_str(), &startup, &info_)) {
      std::fprintf(stderr, "cannot start %s\n", copy.c_str());
      return;
    }
    FindRequest request = {info_.dwProcessId, nullptr};
    double start = NowMs();
    while (EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&request)), request.found == nullptr) {
      if (NowMs() - start > ShowLimitMs) return;
      Sleep(100);
    }
    dialog_ = request.found;
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

  bool ok() const { return dialog_ != nullptr; }
  HANDLE process() const { return info_.hProcess; }
  DWORD pid() const { return info_.dwProcessId; }
  HWND dialog() const { return dialog_; }
  int Rows() const {
    return static_cast<int>(Ask(GetDlgItem(dialog_, IDC_SERVERLIST), LVM_GETITEMCOUNT, 0, 0));
  }
  bool StartEnabled() const { return IsWindowEnabled(GetDlgItem(dialog_, IDC_START)) != FALSE; }
  std::string Caption() const {
    char text[256] = {};
    GetWindowTextA(dialog_, text, sizeof text);
    return text;
  }
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
  SIZE_T lifetimePeak = 0;    // the system's own peak for the process, at the end
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
      w.peakWorkingSet = std::max(w.peakWorkingSet, Memory(p.process()).WorkingSetSize);
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
  if (sample) {
    w.lifetimePeak = Memory(p.process()).PeakWorkingSetSize;
  }
  return w;
}

// The three numbers of the progress caption (workers, rows done, rows in
// all), read past its code page 936 words.
std::vector<int> CaptionNumbers(const std::string& caption) {
  std::vector<int> numbers;
  for (std::size_t i = 0; i < caption.size();) {
    if (caption[i] >= '0' && caption[i] <= '9') {
      std::size_t end = i;
      while (end < caption.size() && caption[end] >= '0' && caption[end] <= '9') ++end;
      numbers.push_back(std::atoi(caption.substr(i, end - i).c_str()));
      i = end;
    } else {
      ++i;
    }
  }
  return numbers;
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
  SIZE_T ws = Memory(info.hProcess).WorkingSetSize;
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

struct ThreadCost {
  double mbPerThread;  // working set one more thread adds
  double startMs;      // from the first CreateThread to all of them running
};

// Twenty threads that only wait, as many as a scan starts; reserve 0 is
// the default of the exe's header.
ThreadCost MeasureThreads(SIZE_T reserve) {
  const int count = 20;
  Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Waiting = 0;
  Sleep(200);
  SIZE_T before = Memory(GetCurrentProcess()).WorkingSetSize;
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
  SIZE_T after = Memory(GetCurrentProcess()).WorkingSetSize;
  SetEvent(Release);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE t : threads) CloseHandle(t);
  CloseHandle(Release);
  if (threads.empty() || after < before) return {0, startMs};
  return {Mb(after - before) / static_cast<double>(threads.size()), startMs};
}

std::string StackText(SIZE_T reserve) {
  if (reserve == 0) return "the exe's default";
  return std::to_string(reserve / 1024) + " KB";
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

  std::printf("| measure | value |\n|---|---|\n");
  std::printf("| working set of a program that does nothing | %.1f MB |\n",
              Mb(IdleProgramWorkingSet()));
  const SIZE_T reserves[] = {64 * 1024, 0, 8 * 1024 * 1024};
  for (SIZE_T reserve : reserves) {
    ThreadCost cost = MeasureThreads(reserve);
    std::printf("| working set per added thread, stack reserve %s | %.3f MB |\n",
                StackText(reserve).c_str(), cost.mbPerThread);
    std::printf("| time to start twenty threads, stack reserve %s | %.1f ms |\n",
                StackText(reserve).c_str(), cost.startMs);
  }
  std::fflush(stdout);

  WSADATA winsock;
  WSAStartup(0x0202, &winsock);
  TestDnsServer servers(FirstAddress, std::max(rows, repeatRows), Honest());
  if (!servers.ok()) {
    std::fprintf(stderr, "cannot serve on %s and up, port 53\n", FirstAddress);
    return 1;
  }
  {
    Program p(exe, rows);
    if (!p.ok() || p.Rows() != rows) {
      std::fprintf(stderr, "the program did not show its %d rows\n", rows);
      return 1;
    }
    // Let start-up work (fonts, the list's first paint) settle first.
    Sleep(3000);
    SIZE_T idle = Memory(p.process()).WorkingSetSize;
    int idleThreads = ThreadsOf(p.pid());
    ScanWatch w = WatchScan(p, true);
    if (w.wallMs < 0) {
      std::fprintf(stderr, "the scan did not end\n");
      return 1;
    }
    Sleep(1000);
    SIZE_T after = Memory(p.process()).WorkingSetSize;
    std::vector<int> caption = CaptionNumbers(p.Caption());
    std::printf("| rows | %d |\n", rows);
    if (caption.size() == 3) {
      std::printf("| caption after the scan: workers, rows done, rows | %d, %d, %d |\n", caption[0],
                  caption[1], caption[2]);
    }
    std::printf("| scan wall time, click to Start given back | %.0f ms |\n", w.wallMs);
    std::printf("| working set, idle with the list loaded | %.1f MB |\n", Mb(idle));
    std::printf("| working set, peak during the scan (sampled every %lu ms) | %.1f MB |\n", PollMs,
                Mb(w.peakWorkingSet));
    std::printf("| working set, peak of the process's life up to the scan's end | %.1f MB |\n",
                Mb(w.lifetimePeak));
    std::printf("| working set, peak growth over idle | %.1f MB |\n",
                Mb(w.peakWorkingSet > idle ? w.peakWorkingSet - idle : 0));
    std::printf("| working set, 1 s after the scan | %.1f MB |\n", Mb(after));
    std::printf("| threads, idle / most seen during the scan | %d / %d |\n", idleThreads,
                w.peakThreads);
    std::printf("| dialog round trip from another process: samples | %zu |\n", w.roundTrips.size());
    std::printf(
        "| dialog round trip from another process: median / p99 / max | %.2f / %.2f / %.2f ms |\n",
        Percentile(w.roundTrips, 0.5), Percentile(w.roundTrips, 0.99),
        Percentile(w.roundTrips, 1.0));
    std::fflush(stdout);
  }

  Program p(exe, repeatRows);
  if (!p.ok() || p.Rows() != repeatRows) {
    std::fprintf(stderr, "the program did not show its %d rows\n", repeatRows);
    return 1;
  }
  Sleep(2000);
  int threads[3] = {ThreadsOf(p.pid()), 0, 0};
  int handles[3] = {HandlesOf(p.pid()), 0, 0};
  SIZE_T memory[3] = {Memory(p.process()).WorkingSetSize, 0, 0};
  for (int i = 1; i <= repeats; ++i) {
    if (WatchScan(p, false).wallMs < 0) {
      std::fprintf(stderr, "scan %d did not end\n", i);
      return 1;
    }
    if (i == 1 || i == repeats) {
      Sleep(1000);  // ended workers leave the process
      int k = i == 1 ? 1 : 2;
      threads[k] = ThreadsOf(p.pid());
      handles[k] = HandlesOf(p.pid());
      memory[k] = Memory(p.process()).WorkingSetSize;
    }
  }
  std::printf("| repeated scans of %d rows | %d |\n", repeatRows, repeats);
  std::printf("| threads before / after scan 1 / after scan %d | %d / %d / %d |\n", repeats,
              threads[0], threads[1], threads[2]);
  std::printf("| handles before / after scan 1 / after scan %d | %d / %d / %d |\n", repeats,
              handles[0], handles[1], handles[2]);
  std::printf("| working set before / after scan 1 / after scan %d | %.1f / %.1f / %.1f MB |\n",
              repeats, Mb(memory[0]), Mb(memory[1]), Mb(memory[2]));
  return 0;
}
