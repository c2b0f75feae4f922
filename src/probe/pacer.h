// The process-wide pacer: every query of every worker is released by it,
// so the whole process sends at most one query per 10 ms.
#ifndef DNSCHECK_PROBE_PACER_H
#define DNSCHECK_PROBE_PACER_H

#include <windows.h>

extern CRITICAL_SECTION PaceLock;
// Millisecond clock reading of the last release; compared by unsigned
// difference, so the clock's wrap after 2^32 ms does not stall it.
extern DWORD LastSendTime;

const DWORD PaceIntervalMs = 10;

// Returns when the caller may send. PaceLock must be initialised first.
void PaceSend();

// The millisecond clock the pacer reads, winmm's timeGetTime where it was
// found: like it, the time since system start, wrapping after 2^32 ms.
DWORD PaceClock();

// Finds winmm's clock and timer-period requests in System32's winmm.dll,
// loaded by its full path; called once at start-up, before any thread
// exists. winmm is no KnownDLL, so importing it would load a winmm.dll
// left beside the exe (in a Downloads folder, say) in its place, before
// the window opens. Where the system's copy or one of its functions is
// missing, the pacer reads kernel32's GetTickCount instead and the timer
// period is never raised: scans still run, paced as finely as that clock
// and the default timer allow.
void LoadTimerFunctions();

// The pacer's 1 ms sleeps and clock readings are only as fine as the
// system timer, whose default period on Windows is about 15.6 ms: at that
// period the pacer releases a send every 15.6 ms, not every 10. A scan
// asks for a 1 ms period for its length and gives it back at its end; it
// is not held while idle, since a raised timer keeps the processor from
// its power-saving states. Each Begin must be matched by one End; both are
// called on the UI thread. A window closed mid-scan ends the process, and
// with it the request.
void BeginFinePacing();
void EndFinePacing();

#endif
