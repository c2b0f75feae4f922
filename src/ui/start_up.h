// What the program entry prepares before any window or probe exists: DLL
// loads limited to System32, the pacer's timer functions, the socket
// library, the locks of the pacer and of the scan state, and the common
// controls. The tests and benchmarks call the same routine, so they
// run what the program runs.
#ifndef DNSCHECK_UI_START_UP_H
#define DNSCHECK_UI_START_UP_H

// False when the socket library did not start. The program goes on all the
// same: every probe then fails to open its socket and its row reads
// "无效解析", which is all a user could be told.
bool StartUp();

#endif
