// The pacer as it runs on Windows 10 and 11, by simulation: Wine's Sleep(1)
// lasts about a millisecond, Windows' lasts until the next tick of the
// system timer, 15.625 ms apart unless the process has asked for a finer
// period. Here the real PaceSend runs with its Sleep and timeGetTime
// replaced (through their import slots) by a simulated clock that moves
// only in whole timer ticks: a sleep ends at the first tick at or after its
// length, and the clock reads the last tick. Run once at the default
// period and once inside the scan's own raise of the period
// (BeginFinePacing), it gives the queries per second and a 120-row
// answering scan's time against its bound. Start-up of the workers, the
// replies and the refresh tick that ends a scan are not simulated: the
// scan here ends with its last send.
//   timer_sim_bench
#include <winsock2.h>
#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <cstdio>

#include "import_slot.h"
#include "probe/pacer.h"
#include "ui/start_up.h"

extern "C" void* SleepSlot __asm__(IMPORT_SLOT_NAME(Sleep, 4));
extern "C" void* TimeGetTimeSlot __asm__(IMPORT_SLOT_NAME(timeGetTime, 0));
extern "C" void* TimeBeginPeriodSlot __asm__(IMPORT_SLOT_NAME(timeBeginPeriod, 4));
extern "C" void* TimeEndPeriodSlot __asm__(IMPORT_SLOT_NAME(timeEndPeriod, 4));

namespace {

const long long DefaultTickUs = 15625;  // 64 ticks a second
const long long FineTickUs = 1000;
// Where the simulated clock starts: a whole number of both ticks, some
// 17 minutes after system start.
const long long StartUs = 1000000000;

const int Workers = 20;
const int RateReleases = 1000;
const int ScanRows = 120;
const int SendsPerRow = 5;  // four reference sends, one tamper send
const double ScanBoundMs = ScanRows * SendsPerRow * static_cast<double>(PaceIntervalMs);

// Moved only by the pacer's sleeps, which it makes holding its lock, so
// one thread at a time.
std::atomic<long long> NowUs(StartUs);
std::atomic<int> FineRequests(0);

long long TickUs() { return FineRequests.load() > 0 ? FineTickUs : DefaultTickUs; }

DWORD WINAPI SimulatedClock() {
  long long now = NowUs.load();
  return static_cast<DWORD>((now - now % TickUs()) / 1000);
}

void WINAPI SimulatedSleep(DWORD ms) {
  long long tick = TickUs();
  long long due = NowUs.load() + static_cast<long long>(ms) * 1000;
  NowUs = (due + tick - 1) / tick * tick;
}

MMRESULT WINAPI SimulatedBeginPeriod(UINT period) {
  if (period > FineTickUs / 1000) return TIMERR_NOCANDO;
  ++FineRequests;
  return TIMERR_NOERROR;
}

MMRESULT WINAPI SimulatedEndPeriod(UINT period) {
  if (period > FineTickUs / 1000) return TIMERR_NOCANDO;
  --FineRequests;
  return TIMERR_NOERROR;
}

// Each worker takes rows as a scan worker does and passes each send of a
// row through the pacer; the exchange itself takes no simulated time.
std::atomic<int> NextJob(0);
int JobCount;
int SendsPerJob;

DWORD WINAPI PacedWorker(LPVOID) {
  while (NextJob.fetch_add(1) < JobCount) {
    for (int i = 0; i < SendsPerJob; ++i) PaceSend();
  }
  return 0;
}

// Simulated milliseconds from the first release to the last of `jobs` x
// `sends` releases by twenty workers. The first release is due at once.
double PacedSpanMs(int jobs, int sends) {
  NowUs = StartUs;
  EnterCriticalSection(&PaceLock);
  LastSendTime = SimulatedClock() - PaceIntervalMs;
  LeaveCriticalSection(&PaceLock);
  NextJob = 0;
  JobCount = jobs;
  SendsPerJob = sends;
  HANDLE threads[Workers];
  for (HANDLE& t : threads) t = CreateThread(nullptr, 0, PacedWorker, nullptr, 0, nullptr);
  WaitForMultipleObjects(Workers, threads, TRUE, INFINITE);
  for (HANDLE t : threads) CloseHandle(t);
  // No sleep follows the last release, so the clock stands at it.
  return static_cast<double>(NowUs.load() - StartUs) / 1000.0;
}

struct Figures {
  double queriesPerS;
  double meanIntervalMs;
  double scanMs;
};

Figures Measure() {
  Figures f;
  double span = PacedSpanMs(RateReleases, 1);
  f.meanIntervalMs = span / (RateReleases - 1);
  f.queriesPerS = 1000.0 / f.meanIntervalMs;
  f.scanMs = PacedSpanMs(ScanRows, SendsPerRow);
  return f;
}

void Print(const char* name, const char* what, const Figures& f) {
  std::printf("%s: Sleep(1) lasts %.3f ms, %d releases %.3f ms apart on average\n", what,
              static_cast<double>(TickUs()) / 1000.0, RateReleases, f.meanIntervalMs);
  std::printf("%s: %d-row answering scan, %d sends: %.1f ms against a bound of %.0f ms\n", what,
              ScanRows, ScanRows * SendsPerRow, f.scanMs, ScanBoundMs);
  std::printf("figure timer_sim.%s.queries_per_s %.2f q/s\n", name, f.queriesPerS);
  std::printf("figure timer_sim.%s.scan120_ratio %.3f ratio\n", name, f.scanMs / ScanBoundMs);
}

}  // namespace

int main() {
  StartUp();
  std::printf(
      "Simulated Windows timer: %.3f ms ticks by default, %.3f ms while a 1 ms period "
      "is requested; the real PaceSend, twenty callers\n",
      DefaultTickUs / 1000.0, FineTickUs / 1000.0);
  ImportSlot sleep(&SleepSlot, reinterpret_cast<void*>(&SimulatedSleep));
  ImportSlot clock(&TimeGetTimeSlot, reinterpret_cast<void*>(&SimulatedClock));
  ImportSlot begin(&TimeBeginPeriodSlot, reinterpret_cast<void*>(&SimulatedBeginPeriod));
  ImportSlot end(&TimeEndPeriodSlot, reinterpret_cast<void*>(&SimulatedEndPeriod));

  Print("default", "default period", Measure());

  // The product's own raise, as a press of Start makes it.
  BeginFinePacing();
  bool raised = FineRequests.load() == 1;
  Figures fine = Measure();
  Print("raised", "raised period", fine);
  EndFinePacing();
  std::printf("the scan's raise %s the simulated period; %d request(s) left after its release\n",
              raised ? "set" : "did NOT set", FineRequests.load());
  return raised && FineRequests.load() == 0 ? 0 : 1;
}
