// Probes one server: times its answers for the reference name, then checks
// whether its answer for the other name has lost its alias, i.e. is forged.
#ifndef DNSCHECK_PROBE_SERVER_PROBE_H
#define DNSCHECK_PROBE_SERVER_PROBE_H

#include <winsock2.h>
#include <windows.h>

#include <atomic>

enum ProbeResult { Done, Stopped };

// Set by a stop command, cleared by a start; read by probes at time-outs.
extern std::atomic<unsigned> StopRequested;

const long ReplyWaitUs = 500000;
// Datagrams with another ID that may restart one send's wait; past this
// the wait counts as a time-out, so a flood cannot hold a worker.
const int MaxStrayDatagrams = 16;

// Ready sockets: 1 readable, 0 time-out, negative when the wait failed.
int WaitReadable(SOCKET s, long microseconds);

ProbeResult ProbeServer(int row, const char* addressText, DWORD ticksPerMs);

#endif
