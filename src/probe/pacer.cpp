#include "probe/pacer.h"

#include <mmsystem.h>

CRITICAL_SECTION PaceLock;
DWORD LastSendTime;

void PaceSend() {
  EnterCriticalSection(&PaceLock);
  // The lock is held while sleeping so that waiting senders queue behind
  // it instead of all being released together when the interval passes.
  while (timeGetTime() - LastSendTime < PaceIntervalMs) Sleep(1);
  LastSendTime = timeGetTime();
  LeaveCriticalSection(&PaceLock);
}
