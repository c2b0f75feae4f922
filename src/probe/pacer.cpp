#include "probe/pacer.h"

#include <mmsystem.h>

CRITICAL_SECTION PaceLock;
DWORD LastSendTime;

namespace {

const UINT FinePeriodMs = 1;

typedef DWORD(WINAPI* ClockFunction)();
typedef MMRESULT(WINAPI* PeriodFunction)(UINT);
typedef BOOL(WINAPI* SetProcessInformationFunction)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID,
                                                    DWORD);

// Written by LoadTimerFunctions before any thread exists, only read after.
ClockFunction Clock = GetTickCount;
PeriodFunction BeginPeriod = nullptr;
PeriodFunction EndPeriod = nullptr;

template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Designed from Microsoft's documentation of timeBeginPeriod and
// SetProcessInformation, since Wine shows none of it: since Windows 11 a
// process whose window is minimised or hidden loses its finer timer unless
// it opts out of that throttling. The function exists from Windows 8 on,
// so it is looked up here rather than imported, and where it is missing or
// rejects the request there is no throttling to opt out of.
void ThrottleTimerResolution(bool allowed) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  SetProcessInformationFunction setInformation =
      LookUp<SetProcessInformationFunction>(kernel, "SetProcessInformation");
  if (setInformation == nullptr) return;
  PROCESS_POWER_THROTTLING_STATE state;
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  // Controlling the mechanism with its state bit clear means "always
  // honour this process's timer requests"; controlling nothing hands the
  // choice back to the system, the state every process starts in.
  state.ControlMask = allowed ? 0 : PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;
  setInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

}  // namespace

DWORD PaceClock() { return Clock(); }

void LoadTimerFunctions() {
  Clock = GetTickCount;
  BeginPeriod = EndPeriod = nullptr;
  const char name[] = "\\winmm.dll";
  char path[MAX_PATH];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof name > MAX_PATH) return;
  lstrcatA(path, name);
  HMODULE winmm = LoadLibraryA(path);
  if (winmm == nullptr) return;
  ClockFunction clock = LookUp<ClockFunction>(winmm, "timeGetTime");
  PeriodFunction begin = LookUp<PeriodFunction>(winmm, "timeBeginPeriod");
  PeriodFunction end = LookUp<PeriodFunction>(winmm, "timeEndPeriod");
  // All or none: a raise needs its release, and both need the clock that
  // they make finer.
  if (clock == nullptr || begin == nullptr || end == nullptr) {
    FreeLibrary(winmm);
    return;
  }
  Clock = clock;
  BeginPeriod = begin;
  EndPeriod = end;
}

void PaceSend() {
  EnterCriticalSection(&PaceLock);
  // The lock is held while sleeping so that waiting senders queue behind
  // it instead of all being released together when the interval passes.
  while (Clock() - LastSendTime < PaceIntervalMs) Sleep(1);
  LastSendTime = Clock();
  LeaveCriticalSection(&PaceLock);
}

// Without winmm there is no finer timer to ask for, and so no throttling
// of it to opt out of.
void BeginFinePacing() {
  if (BeginPeriod == nullptr) return;
  ThrottleTimerResolution(false);
  BeginPeriod(FinePeriodMs);
}

void EndFinePacing() {
  if (EndPeriod == nullptr) return;
  EndPeriod(FinePeriodMs);
  ThrottleTimerResolution(true);
}
