// A scan of the whole table by twenty workers, its start and stop
// commands, and the refresh tick that shows progress and ends it.
#ifndef DNSCHECK_PROBE_SCAN_CONTROL_H
#define DNSCHECK_PROBE_SCAN_CONTROL_H

#include <windows.h>

#include <atomic>

const int ScanWorkerCount = 20;
const UINT_PTR RefreshTimer = 0;
const UINT RefreshPeriodMs = 100;

extern std::atomic<unsigned> NextRow;
extern std::atomic<unsigned> ActiveWorkers;
extern std::atomic<unsigned> DoneRows;
extern unsigned TotalRows;

// Orders a stop's test of the scan it was aimed at and its setting of the
// flag against a new scan's clearing of the flag. Initialised at start-up,
// like the pacer's lock, before any scan command can run.
extern CRITICAL_SECTION ScanStateLock;

// Called on the UI thread for a press of Start: true when no scan runs,
// in which case the scan is now claimed, the finer timer the pacer needs is
// raised, and the caller starts StartScan. Presses are serialised by the
// UI thread, so two presses can never both claim, however late their
// threads run.
bool ClaimScan();
// Called on the UI thread by the tick that ends a scan, or by a press whose
// start thread could not be created: ends the claim and gives the timer
// back. Does nothing when no scan is claimed, so each claim is released
// exactly once.
void ReleaseScan();
// Called on the UI thread for a press of Stop: remembers which scan the
// press was for, so that a late StopScan cannot stop a later scan.
void AimStop();

DWORD WINAPI StartScan(LPVOID unused);
DWORD WINAPI StopScan(LPVOID unused);
DWORD WINAPI ScanWorker(LPVOID unused);
void OnRefreshTick(HWND dialog);
void EnableControl(HWND dialog, int id, BOOL flag);

// Scan state for tests and diagnostics.
bool ScanInProgress();

#endif
