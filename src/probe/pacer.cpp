#include "probe/pacer.h"

#include <mmsystem.h>

CRITICAL_SECTION PaceLock;
DWORD LastSendTime;

namespace {

const UINT FinePeriodMs = 1;

typedef BOOL(WINAPI* SetProcessInformationFunction)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID,
                                                    DWORD);

// Designed from Microsoft's documentation of timeBeginPeriod and
// SetProcessInformation, since Wine shows none of it: since Windows 11 a
// process whose window is minimised or hidden loses its finer timer unless
// it opts out of that throttling. The function exists from Windows 8 on,
// so it is looked up here rather than imported, and where it is missing or
// rejects the request there is no throttling to opt out of.
void ThrottleTimerResolution(bool allowed) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  FARPROC found = GetProcAddress(kernel, "SetProcessInformation");
  if (found == nullptr) return;
  SetProcessInformationFunction setInformation =
      reinterpret_cast<SetProcessInformationFunction>(reinterpret_cast<void (*)()>(found));
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

void PaceSend() {
  EnterCriticalSection(&PaceLock);
  // The lock is held while sleeping so that waiting senders queue behind
  // it instead of all being released together when the interval passes.
  while (timeGetTime() - LastSendTime < PaceIntervalMs) Sleep(1);
  LastSendTime = timeGetTime();
  LeaveCriticalSection(&PaceLock);
}

void BeginFinePacing() {
  ThrottleTimerResolution(false);
  timeBeginPeriod(FinePeriodMs);
}

void EndFinePacing() {
  timeEndPeriod(FinePeriodMs);
  ThrottleTimerResolution(true);
}
