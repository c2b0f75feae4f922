// How close the time a row shows comes to a server's real reply time.
// Loopback servers hold each reply back by D ms; a row is probed against
// each several times, and the shown time is set against D and against the
// loopback round trip, measured on its own. Prints a Markdown table.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measure.h"
#include "probe/pacer.h"
#include "probe/server_probe.h"
#include "serverlist/server_table.h"
#include "test_dns_server.h"
#include "ui_fixture.h"

namespace {

const int Repetitions = 9;
const int RoundTrips = 200;
const DWORD Delays[] = {0, 5, 20, 50, 100, 250};

// What a delaying server measured of itself: its Sleep as the counter saw
// it, and the time from the query's arrival to just before the reply.
struct Held {
  std::mutex mutex;
  std::vector<double> sleepMs;
  std::vector<double> holdMs;
};

Script Delaying(DWORD delayMs, Held* held) {
  return [delayMs, held](const ReceivedQuery& q) {
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    if (delayMs > 0) Sleep(delayMs);
    QueryPerformanceCounter(&after);
    std::lock_guard<std::mutex> lock(held->mutex);
    held->sleepMs.push_back(CounterMs(after.QuadPart - before.QuadPart));
    held->holdMs.push_back(CounterMs(after.QuadPart - q.when.QuadPart));
    return std::vector<Send>{{HonestReply(q), 0}};
  };
}

// Query to answer, timed from just before the send to just after the
// reply: the same span the probe measures, without the probe.
std::vector<double> LoopbackRoundTrips(const char* address) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  to.sin_addr.s_addr = inet_addr(address);
  // A fixed, well-formed query; the test server answers any name.
  const unsigned char query[] = {0x12, 0x34, 1,   0,   0,   1,   0,   0,   0,   0,   0,
                                 0,    3,    'w', 'w', 'w', 7,   'e', 'x', 'a', 'm', 'p',
                                 'l',  'e',  3,   'c', 'o', 'm', 0,   0,   1,   0,   1};
  std::vector<double> trips;
  char reply[1024];
  for (int i = 0; i < RoundTrips; ++i) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    sendto(s, reinterpret_cast<const char*>(query), sizeof query, 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (WaitReadable(s, 500000) <= 0) continue;
    if (recvfrom(s, reply, sizeof reply, 0, nullptr, nullptr) < 2) continue;
    QueryPerformanceCounter(&end);
    trips.push_back(CounterMs(end.QuadPart - start.QuadPart));
  }
  closesocket(s);
  return trips;
}

}  // namespace

int main() {
  WSADATA winsock;
  WSAStartup(0x0202, &winsock);
  InitializeCriticalSection(&PaceLock);
  InitCommonControls();
  UiThread ui;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  DWORD ticksPerMs = static_cast<DWORD>(frequency.QuadPart / 1000);

  Held echoHeld;
  TestDnsServer echo("127.0.2.1", Delaying(0, &echoHeld));
  if (!echo.ok()) {
    std::printf("cannot serve on 127.0.2.1:53\n");
    return 1;
  }
  std::vector<double> trips = LoopbackRoundTrips("127.0.2.1");
  if (trips.empty()) {
    std::printf("no loopback round trip completed\n");
    return 1;
  }
  double rtt = Median(trips);

  std::printf(
      "Loopback round trip (%d exchanges with a D = 0 server): median %.3f ms, "
      "min %.3f ms, max %.3f ms\n\n",
      static_cast<int>(trips.size()), rtt, *std::min_element(trips.begin(), trips.end()),
      *std::max_element(trips.begin(), trips.end()));
  std::printf(
      "%d probes per D; each shown time is the best of four timed replies, in whole ms.\n\n",
      Repetitions);
  std::printf(
      "| D (ms) | shown median | shown min | shown max | server Sleep median (ms) | "
      "server hold median (ms) | error: shown - D | target D + RTT (ms) | "
      "within 1 ms of target | shown - (hold + RTT) |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");

  int row = 0;
  for (DWORD delay : Delays) {
    std::string address = "127.0.2." + std::to_string(10 + row);
    Held held;
    TestDnsServer server(address, Delaying(delay, &held));
    if (!server.ok()) {
      std::printf("cannot serve on %s:53\n", address.c_str());
      return 1;
    }
    AddRows({address});
    std::vector<double> shown;
    for (int r = 0; r < Repetitions; ++r) {
      ProbeServer(row, address.c_str(), ticksPerMs);
      int key = GetSortKey(row);
      if (key != NoLatency) shown.push_back(key);
    }
    if (shown.empty()) {
      std::printf("| %lu | no time shown | | | | | | | | |\n", static_cast<unsigned long>(delay));
      ++row;
      continue;
    }
    double median = Median(shown);
    double target = delay + rtt;
    std::vector<double> sleeps, holds;
    {
      std::lock_guard<std::mutex> lock(held.mutex);
      sleeps = held.sleepMs;
      holds = held.holdMs;
    }
    // What the probe adds of its own, beyond the server's real hold and
    // the network's round trip; the shown time is cut to whole ms.
    double excess = median - (Median(holds) + rtt);
    std::printf("| %lu | %.1f | %.0f | %.0f | %.3f | %.3f | %+.1f | %.3f | %s | %+.2f |\n",
                static_cast<unsigned long>(delay), median,
                *std::min_element(shown.begin(), shown.end()),
                *std::max_element(shown.begin(), shown.end()), Median(sleeps), Median(holds),
                median - delay, target, median >= target - 1 && median <= target + 1 ? "yes" : "no",
                excess);
    ++row;
  }
  return 0;
}
