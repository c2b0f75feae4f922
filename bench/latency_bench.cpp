// How near the time a row shows comes to a server's real reply time:
// loopback servers hold each reply D ms, and the shown time is set against
// D, the hold the server measured, and the loopback round trip.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "figure.h"
#include "measure.h"
#include "probe/pacer.h"
#include "probe/server_probe.h"
#include "serverlist/server_table.h"
#include "test_dns_server.h"
#include "ui/start_up.h"
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
    double before = NowMs();
    if (delayMs > 0) Sleep(delayMs);
    double after = NowMs();
    std::lock_guard<std::mutex> lock(held->mutex);
    held->sleepMs.push_back(after - before);
    held->holdMs.push_back(after - CounterMs(q.when.QuadPart));
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
    double start = NowMs();
    sendto(s, reinterpret_cast<const char*>(query), sizeof query, 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (WaitReadable(s, 500000) <= 0) continue;
    if (recvfrom(s, reply, sizeof reply, 0, nullptr, nullptr) < 2) continue;
    trips.push_back(NowMs() - start);
  }
  closesocket(s);
  return trips;
}

void Spread(const std::string& prefix, const std::vector<double>& values) {
  Figure(prefix + "median", Median(values), "ms");
  Figure(prefix + "min", *std::min_element(values.begin(), values.end()), "ms");
  Figure(prefix + "max", *std::max_element(values.begin(), values.end()), "ms");
}

bool Measure() {
  if (!StartUp()) return Fail("the socket library did not start");
  UiThread ui;
  Held echoHeld;
  TestDnsServer echo("127.0.2.1", Delaying(0, &echoHeld));
  std::vector<double> trips;
  if (echo.ok()) trips = LoopbackRoundTrips("127.0.2.1");
  if (trips.empty()) return Fail("no loopback round trip completed on 127.0.2.1:53");
  Spread("latency.round_trip.", trips);
  std::printf("%d probes per D; each shows the best of four timed replies, in whole ms.\n",
              Repetitions);

  std::vector<std::string> addresses = LoopbackAddresses("127.0.2.10", std::size(Delays));
  for (int row = 0; row < static_cast<int>(std::size(Delays)); ++row) {
    Held held;
    TestDnsServer server(addresses[row], Delaying(Delays[row], &held));
    if (!server.ok()) return Fail("cannot serve on %s:53", addresses[row].c_str());
    AddRows({addresses[row]});
    std::vector<double> shown;
    for (int r = 0; r < Repetitions; ++r) {
      ProbeServer(row, addresses[row].c_str(), TicksPerMs());
      int key = GetSortKey(row);
      if (key != NoLatency) shown.push_back(key);
    }
    std::string name = "latency.d_" + std::to_string(Delays[row]);
    if (!shown.empty()) Spread(name + ".shown_", shown);
    std::lock_guard<std::mutex> lock(held.mutex);
    Figure(name + ".server_sleep", Median(held.sleepMs), "ms");
    Figure(name + ".server_hold", Median(held.holdMs), "ms");
  }
  return true;
}

}  // namespace

int main() { return Measure() ? 0 : 1; }
