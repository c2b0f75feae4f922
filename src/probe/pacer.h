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

#endif
