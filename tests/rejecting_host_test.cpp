// A host that rejects the queries with "port unreachable" rather than
// staying silent. On Windows the rejection makes the socket readable and
// the next receive fail with WSAECONNRESET (Microsoft's documentation of
// recvfrom); the probe takes that as the end of the send's wait, so the row
// reaches its six sends and "请求超时" at the pacer's speed instead of after
// six 0.5 s waits. Wine does not report the rejection to an unconnected
// UDP socket (such a host took the full 3 s there), so the test plays the
// network's part through the socket calls' import slots.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include <gtest/gtest.h>

#include "import_slot.h"
#include "measure.h"
#include "probe/server_probe.h"
#include "serverlist/server_table.h"
#include "ui_fixture.h"
#include "window_test.h"

extern "C" void* SendToSlot __asm__(IMPORT_SLOT_NAME(sendto, 24));
extern "C" void* SelectSlot __asm__(IMPORT_SLOT_NAME(select, 20));
extern "C" void* RecvFromSlot __asm__(IMPORT_SLOT_NAME(recvfrom, 24));

namespace {

// Six silent waits take 3 s; rejections should take about six pacing
// intervals. The bound leaves room for a loaded machine yet stays below
// what even one of the six waits running out in full would allow.
const double WithoutAnyFullWaitMs = 2500;

typedef int(WINAPI* SendToFunction)(SOCKET, const char*, int, int, const sockaddr*, int);
typedef int(WINAPI* SelectFunction)(int, fd_set*, fd_set*, fd_set*, const timeval*);

ImportSlot* RealSendTo;
ImportSlot* RealSelect;
std::atomic<int> Sends(0);
std::atomic<int> Rejections(0);  // sent, not yet reported
std::atomic<int> FailedReceives(0);

// Every datagram is sent for real (to a loopback address) and rejected.
int WINAPI RejectedSendTo(SOCKET s, const char* data, int length, int flags, const sockaddr* to,
                          int toLength) {
  ++Sends;
  ++Rejections;
  return RealSendTo->original<SendToFunction>()(s, data, length, flags, to, toLength);
}

int WINAPI ReadableOnRejection(int count, fd_set* readable, fd_set* writable, fd_set* failed,
                               const timeval* timeout) {
  if (Rejections.load() > 0) return 1;  // the one socket stays in the set
  return RealSelect->original<SelectFunction>()(count, readable, writable, failed, timeout);
}

int WINAPI FailingReceive(SOCKET, char*, int, int, sockaddr*, int*) {
  --Rejections;
  ++FailedReceives;
  WSASetLastError(WSAECONNRESET);
  return SOCKET_ERROR;
}

class RejectingHostTest : public WindowTest {};

TEST_F(RejectingHostTest, RejectedQueriesEndTimedOutWithoutWaitingOutTheirWaits) {
  const char* rejecting = "127.0.9.1";
  AddRows({rejecting});
  SetSortKey(0, 42);
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  ProbeResult result;
  {
    ImportSlot sendTo(&SendToSlot, reinterpret_cast<void*>(&RejectedSendTo));
    ImportSlot select(&SelectSlot, reinterpret_cast<void*>(&ReadableOnRejection));
    ImportSlot receive(&RecvFromSlot, reinterpret_cast<void*>(&FailingReceive));
    RealSendTo = &sendTo;
    RealSelect = &select;
    QueryPerformanceCounter(&start);
    result = ProbeServer(0, rejecting, static_cast<DWORD>(frequency.QuadPart / 1000));
    QueryPerformanceCounter(&end);
  }
  double ms = CounterMs(end.QuadPart - start.QuadPart);
  std::printf("rejected row ended after %.1f ms\n", ms);

  EXPECT_EQ(Done, result);
  EXPECT_EQ(Gbk("请求超时"), RowTexts(0)[ColResult]);
  EXPECT_EQ(NoLatency, GetSortKey(0));
  EXPECT_EQ("", RowTexts(0)[ColHijack]);
  EXPECT_EQ(6, Sends.load());
  EXPECT_EQ(6, FailedReceives.load());
  EXPECT_LT(ms, WithoutAnyFullWaitMs);
}

}  // namespace
