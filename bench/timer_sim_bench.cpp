// The pacer as on Windows 10 and 11, where Sleep and timeGetTime move in
// 15.625 ms ticks of the system timer unless the process asks for a finer
// period: the real PaceSend, with both replaced (Sleep through its import
// slot, the clock and the period requests where the product looks them
// up) by a clock of whole ticks (a sleep ends at the first tick at or after
// its length), at the default period and inside the scan's own raise.
// Worker start-up, replies and the tick that ends a scan are not simulated.
#include <winsock2.h>
#include <windows.h>

#include <mmsystem.h>

#include <atomic>

#include "figure.h"
#include "import_slot.h"
#include "probe/pacer.h"
#include "ui/start_up.h"

extern "C" void* SleepSlot __asm__(IMPORT_SLOT_NAME(Sleep, 4));

namespace {

const long long DefaultTickUs = 15625;  // 64 ticks a second
const long long FineTickUs = 1000;
const long long StartUs = 1000000000;  // a whole number of both ticks
const int Workers = 20;
const int RateReleases = 1000;
const int ScanRows = 120;
const int SendsPerRow = 5;  // four reference sends, one forged-answer check send
const double ScanBoundMs = ScanRows * SendsPerRow * static_cast<double>(PaceIntervalMs);

// Moved only by the pacer's sleeps, made under its lock: one thread at a time.
std::atomic<long long> NowUs(StartUs);
std::atomic<int> FineRequests(0);

long long TickUs() { return FineRequests.load() > 0 ? FineTickUs : DefaultTickUs; }

DWORD WINAPI SimulatedClock() {
  long long now = NowUs.load();
  return static_cast<DWORD>((now - now % TickUs()) / 1000);
}

void WINAPI SimulatedSleep(DWORD ms) {
  long long tick = TickUs();
  NowUs = (NowUs.load() + static_cast<long long>(ms) * 1000 + tick - 1) / tick * tick;
}

template <int Change>
MMRESULT WINAPI SimulatedPeriod(UINT period) {
  if (period > FineTickUs / 1000) return TIMERR_NOCANDO;
  FineRequests += Change;
  return TIMERR_NOERROR;
}

// Workers take rows as a scan's do and pass each send through the pacer;
// the exchange itself takes no simulated time.
std::atomic<int> NextJob(0);
int JobCount;
int SendsPerJob;

DWORD WINAPI PacedWorker(LPVOID) {
  while (NextJob.fetch_add(1) < JobCount) {
    for (int i = 0; i < SendsPerJob; ++i) PaceSend();
  }
  return 0;
}

// Simulated ms from the first to the last of jobs x sends releases by
// twenty workers; the first is due at once, and no sleep follows the last.
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
  return static_cast<double>(NowUs.load() - StartUs) / 1000.0;
}

void Measure(const std::string& period) {
  Figure("timer_sim." + period + ".queries_per_s",
         1000.0 * (RateReleases - 1) / PacedSpanMs(RateReleases, 1), "q/s");
  Figure("timer_sim." + period + ".scan120_ratio", PacedSpanMs(ScanRows, SendsPerRow) / ScanBoundMs,
         "ratio");
}

}  // namespace

int main() {
  StartUp();
  ImportSlot sleep(&SleepSlot, reinterpret_cast<void*>(&SimulatedSleep));
  LookupStandIn timer({{"timeGetTime", reinterpret_cast<void*>(&SimulatedClock)},
                       {"timeBeginPeriod", reinterpret_cast<void*>(&SimulatedPeriod<1>)},
                       {"timeEndPeriod", reinterpret_cast<void*>(&SimulatedPeriod<-1>)}});
  Measure("default");
  BeginFinePacing();  // the product's own raise, as a press of Start makes it
  bool raised = FineRequests.load() == 1;
  Measure("raised");
  EndFinePacing();
  if (raised && FineRequests.load() == 0) return 0;
  Fail("the scan's raise %s the period; %d request(s) left after its release",
       raised ? "set" : "did NOT set", FineRequests.load());
  return 1;
}
