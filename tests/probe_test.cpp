// One row probed against scripted servers on loopback: the real list
// control on its UI thread, real sockets, the real pacer. The servers
// record what they receive, so the tests check what went over the wire as
// well as what the row shows.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <mmsystem.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "design_numbers.h"
#include "import_slot.h"
#include "measure.h"
#include "probe/dns_message.h"
#include "probe/pacer.h"
#include "probe/query_names.h"
#include "probe/scan_control.h"
#include "probe/server_probe.h"
#include "resource.h"
#include "serverlist/server_table.h"
#include "test_dns_server.h"
#include "ui_fixture.h"
#include "window_test.h"

extern "C" void* SendMessageSlot __asm__(IMPORT_SLOT_NAME(SendMessageA, 16));
extern "C" void* CounterSlot __asm__(IMPORT_SLOT_NAME(QueryPerformanceCounter, 4));

namespace {

// The number in a "%d ms" text, or -1 when the text has another form.
int ShownMs(const std::string& text) {
  const std::string unit = " ms";
  if (text.size() <= unit.size() || text.compare(text.size() - unit.size(), unit.size(), unit) != 0)
    return -1;
  std::string digits = text.substr(0, text.size() - unit.size());
  for (char c : digits)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  return std::stoi(digits);
}

// True when nothing holds this local UDP port, i.e. the probe's socket
// that sent from it has been closed.
bool PortIsFree(u_short networkPort) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_port = networkPort;
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  bool free = bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  closesocket(s);
  return free;
}

// Another ID with the same high byte, as the previous and the next query of
// the row mostly have.
Bytes WithOtherId(Bytes reply) {
  reply[1] ^= 0x01;
  return reply;
}

std::vector<std::string> QueryNames(TestDnsServer& server) {
  std::vector<std::string> names;
  for (const ReceivedQuery& q : server.Queries()) names.push_back(q.name);
  return names;
}

std::vector<std::string> Repeat(const char* name, int times) {
  return std::vector<std::string>(static_cast<std::size_t>(times), name);
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

typedef LRESULT(WINAPI* SendMessageFunction)(HWND, UINT, WPARAM, LPARAM);
SendMessageFunction RealSendMessage;  // taken before the slot points below

// A list control that gives a cell's text as Microsoft documents it: at
// most the room less one byte, then a zero. Wine's fills the whole room.
LRESULT WINAPI DocumentedListSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = RealSendMessage(window, message, wParam, lParam);
  LVITEMA* item = reinterpret_cast<LVITEMA*>(lParam);
  if (message != LVM_GETITEMTEXTA || item->cchTextMax <= 0) return result;
  item->pszText[item->cchTextMax - 1] = '\0';
  return lstrlenA(item->pszText);
}

// What a server that answers every query is asked: the timed name until
// enough answers, then the forged-answer check's name once.
const std::vector<std::string> TimedThenChecked =
    Concat(Repeat(ReferenceName, EnoughReferenceSends), Repeat(TamperProbeName, 1));

// The cells a probe left in its row, and the texts the row went through
// while it ran (each change of ColResult and ColHijack, in order).
struct Watched {
  ProbeResult result;
  std::vector<std::string> cells;
  int sortKey;
  std::vector<std::string> resultTexts;
  std::vector<std::string> hijackTexts;
};

void Note(std::vector<std::string>& seen, const std::string& text) {
  if (seen.empty() || seen.back() != text) seen.push_back(text);
}

// The first texts noted are those the row held before the probe.
Watched ProbeWatching(int row, const std::string& address) {
  Watched w;
  std::vector<std::string> before = RowTexts(row);
  Note(w.resultTexts, before[ColResult]);
  Note(w.hijackTexts, before[ColHijack]);
  std::atomic<bool> finished(false);
  std::thread probe([&] {
    w.result = ProbeServer(row, address.c_str(), TicksPerMs());
    finished = true;
  });
  while (!finished) {
    std::vector<std::string> cells = RowTexts(row);
    Note(w.resultTexts, cells[ColResult]);
    Note(w.hijackTexts, cells[ColHijack]);
    Sleep(5);
  }
  probe.join();
  w.cells = RowTexts(row);
  Note(w.resultTexts, w.cells[ColResult]);
  Note(w.hijackTexts, w.cells[ColHijack]);
  w.sortKey = GetSortKey(row);
  return w;
}

// A row that ended with a time from `atLeast` up to below `below` ms, its
// server not forging, after showing "正在验证" until the first answer.
void ExpectTimedAndNotForged(const Watched& w, int atLeast, int below) {
  EXPECT_EQ(Done, w.result);
  int shown = ShownMs(w.cells[ColResult]);
  EXPECT_GE(shown, atLeast) << w.cells[ColResult];
  EXPECT_LT(shown, below) << w.cells[ColResult];
  EXPECT_EQ(shown, w.sortKey);
  EXPECT_EQ(Gbk("否"), w.cells[ColHijack]);
  ASSERT_GE(w.resultTexts.size(), 2u);
  EXPECT_EQ(Gbk("正在验证"), w.resultTexts[1]) << "shown until the first answer";
}

// The row of a server that answered every query honestly: a time, which
// is also its sort key, the verdict "否", and the usual queries.
void ExpectAnsweredThroughout(int row, TestDnsServer& server) {
  std::vector<std::string> cells = RowTexts(row);
  int shown = ShownMs(cells[ColResult]);
  EXPECT_GE(shown, 0) << cells[ColResult];
  EXPECT_EQ(shown, GetSortKey(row));
  EXPECT_EQ(Gbk("否"), cells[ColHijack]);
  EXPECT_EQ(TimedThenChecked, QueryNames(server));
}

class ProbeTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ticksPerMs_ = TicksPerMs();
  }
  void TearDown() override { StopRequested = 0; }

  ProbeResult Probe(int row, const std::string& address) {
    return ProbeServer(row, address.c_str(), ticksPerMs_);
  }

  DWORD ticksPerMs_ = 1;
};

// ---- The reference phase -------------------------------------------------

TEST_F(ProbeTest, HonestServerGetsFourTimedQueriesThenOneCheckQuery) {
  // Reply delays differ per query, so the shown time tells which reply it
  // came from: it must be the best of the four, not the first or the last.
  const DWORD delays[] = {300, 100, 200, 400};
  TestDnsServer server("127.0.1.1", [&](const ReceivedQuery& q) {
    DWORD delay = q.index < 4 ? delays[q.index] : 0;
    return std::vector<Send>{{HonestReply(q), delay}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.1"});

  Watched w = ProbeWatching(0, "127.0.1.1");

  ExpectTimedAndNotForged(w, 100, 200);
  EXPECT_EQ(TimedThenChecked, QueryNames(server));

  std::vector<ReceivedQuery> queries = server.Queries();
  std::set<std::uint16_t> ids;
  for (const ReceivedQuery& q : queries) {
    ids.insert(q.id);
    EXPECT_EQ(queries[0].from.sin_port, q.from.sin_port) << "every query leaves from one socket";
  }
  EXPECT_EQ(queries.size(), ids.size()) << "each send carries a new ID";
  EXPECT_TRUE(PortIsFree(queries[0].from.sin_port)) << "socket left open";
}

std::atomic<LONGLONG> CounterReading(1LL << 40);

// As Microsoft documents some multi-core machines under Windows XP: a
// thread that reads the counter again, now on another core, gets a
// reading below the one before. Here every reading is below the last.
BOOL WINAPI CounterThatStepsBack(LARGE_INTEGER* reading) {
  reading->QuadPart = CounterReading.fetch_sub(1000000);
  return TRUE;
}

TEST_F(ProbeTest, ClockThatStepsBackStillShowsATime) {
  TestDnsServer server("127.0.1.1", [](const ReceivedQuery& q) {
    return std::vector<Send>{{HonestReply(q), 0}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.1"});
  ImportSlot slot(&CounterSlot, reinterpret_cast<void*>(&CounterThatStepsBack));
  Watched w = ProbeWatching(0, "127.0.1.1");
  EXPECT_EQ(Done, w.result);
  EXPECT_EQ(0, ShownMs(w.cells[ColResult])) << w.cells[ColResult];
  EXPECT_EQ(0, w.sortKey);
  EXPECT_EQ(Gbk("否"), w.cells[ColHijack]);
}

TEST_F(ProbeTest, SilentServerTimesOutAfterSixSendsHalfASecondApart) {
  TestDnsServer server("127.0.1.2", Silent());
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.2"});
  // Left from an earlier scan: the verdict must stay, the key must not.
  SetCellText(0, ColHijack, Gbk("是").c_str());
  SetSortKey(0, 42);

  EXPECT_EQ(Done, Probe(0, "127.0.1.2"));

  std::vector<std::string> cells = RowTexts(0);
  EXPECT_EQ(Gbk("请求超时"), cells[ColResult]);
  EXPECT_EQ(NoLatency, GetSortKey(0));
  EXPECT_EQ(Gbk("是"), cells[ColHijack]);

  std::vector<ReceivedQuery> queries = server.Queries();
  EXPECT_EQ(Repeat(ReferenceName, MostReferenceSends), QueryNames(server));
  for (std::size_t i = 1; i < queries.size(); ++i) {
    double gapMs = CounterMs(queries[i].when.QuadPart - queries[i - 1].when.QuadPart);
    EXPECT_GE(gapMs, 450.0) << "send " << i + 1 << " came before the wait was over";
  }
  EXPECT_TRUE(PortIsFree(queries[0].from.sin_port)) << "socket left open";
}

TEST_F(ProbeTest, ThreeAnswersThenSilenceEndsTimedOutAfterShowingTimes) {
  TestDnsServer server("127.0.1.4", [](const ReceivedQuery& q) {
    if (q.index >= 3) return std::vector<Send>();
    return std::vector<Send>{{HonestReply(q), q.index == 0 ? 200u : 0u}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.4"});

  Watched w = ProbeWatching(0, "127.0.1.4");

  EXPECT_EQ(Done, w.result);
  EXPECT_EQ(Repeat(ReferenceName, MostReferenceSends), QueryNames(server));
  ASSERT_GE(w.resultTexts.size(), 4u);
  EXPECT_EQ(Gbk("正在验证"), w.resultTexts[1]);
  // Times were shown while the server answered (each answer may better the
  // last within milliseconds, so not every one is seen).
  for (std::size_t i = 2; i + 1 < w.resultTexts.size(); ++i)
    EXPECT_GE(ShownMs(w.resultTexts[i]), 0) << w.resultTexts[i];
  EXPECT_EQ(Gbk("请求超时"), w.resultTexts.back());
  EXPECT_EQ(NoLatency, w.sortKey);
  EXPECT_EQ("", w.cells[ColHijack]);
  EXPECT_EQ(std::vector<std::string>{""}, w.hijackTexts) << "no forged-answer check";
}

TEST_F(ProbeTest, TwoTimeOutsThenAnswersShowTheBetterOfTheTwo) {
  // The answer to the third send is quick, the one to the fourth slower:
  // the later, worse time must not replace the better one.
  TestDnsServer server("127.0.1.5", [](const ReceivedQuery& q) {
    if (q.index < 2) return std::vector<Send>();
    return std::vector<Send>{{HonestReply(q), q.index == 2 ? 100u : 250u}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.5"});

  Watched w = ProbeWatching(0, "127.0.1.5");

  ExpectTimedAndNotForged(w, 100, 250);
  EXPECT_EQ(TimedThenChecked, QueryNames(server));
  // The answer to the third send was shown while the fourth was awaited.
  ASSERT_GE(w.resultTexts.size(), 3u);
  EXPECT_EQ(w.cells[ColResult], w.resultTexts[2]);
}

TEST_F(ProbeTest, RefusedFirstReplyEndsTheProbeAtOnce) {
  TestDnsServer server("127.0.1.6", Refusing());
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.6"});
  SetSortKey(0, 42);

  EXPECT_EQ(Done, Probe(0, "127.0.1.6"));

  std::vector<std::string> cells = RowTexts(0);
  EXPECT_EQ(Gbk("拒绝解析"), cells[ColResult]);
  EXPECT_EQ(NoLatency, GetSortKey(0));
  EXPECT_EQ("", cells[ColHijack]);
  EXPECT_EQ(Repeat(ReferenceName, 1), QueryNames(server));
}

TEST_F(ProbeTest, RepliesWithoutAUsableAddressAreInvalid) {
  struct Case {
    const char* what;
    std::function<Bytes(const ReceivedQuery&)> reply;
  };
  const Case cases[] = {
      {"alias only",
       [](const ReceivedQuery& q) {
         return MakeReply(q.id, 0, q.name, {CnameRecord("www.a.example.net")});
       }},
      {"0.0.0.0 first",
       [](const ReceivedQuery& q) {
         return MakeReply(q.id, 0, q.name, {ARecord(0, 0, 0, 0), ARecord(10, 1, 2, 3)});
       }},
      {"address of another class",
       [](const ReceivedQuery& q) {
         return MakeReply(q.id, 0, q.name, {ARecord(10, 1, 2, 3, 3)});
       }},
      {"NXDOMAIN", [](const ReceivedQuery& q) { return NoAnswerReply(q, 3); }},
  };
  const std::vector<std::string> addresses = LoopbackAddresses("127.0.1.10", 4);
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string& address = addresses.at(static_cast<std::size_t>(row));
    TestDnsServer server(address, [&c](const ReceivedQuery& q) {
      return std::vector<Send>{{c.reply(q), 0}};
    });
    ASSERT_TRUE(server.ok());
    AddRows({address});
    SetSortKey(row, 42);

    EXPECT_EQ(Done, Probe(row, address));

    EXPECT_EQ(Gbk("无效解析"), RowTexts(row)[ColResult]);
    EXPECT_EQ(NoLatency, GetSortKey(row));
    EXPECT_EQ(1, server.QueryCount());
    ++row;
  }
}

TEST_F(ProbeTest, InvalidReplyAfterATimedOneTakesTheTimeAway) {
  TestDnsServer server("127.0.1.14", [](const ReceivedQuery& q) {
    return std::vector<Send>{{q.index == 0 ? HonestReply(q) : ZeroAddressReply(q), 0}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.14"});

  Watched w = ProbeWatching(0, "127.0.1.14");

  EXPECT_EQ(Done, w.result);
  EXPECT_EQ(Gbk("无效解析"), w.cells[ColResult]);
  EXPECT_EQ(NoLatency, w.sortKey);
  EXPECT_EQ(2, server.QueryCount());
}

// ---- Datagrams that are not the reply -----------------------------------

TEST_F(ProbeTest, WrongIdDatagramRestartsTheWaitAndTheTimeCountsFromTheSend) {
  // 300 ms after each query a refusal with another ID, 300 ms later the
  // real answer: 600 ms after the send, past one 0.5 s wait but within
  // the wait that the stray datagram restarted.
  TestDnsServer server("127.0.1.15", [](const ReceivedQuery& q) {
    if (q.name != ReferenceName) return std::vector<Send>{{HonestReply(q), 0}};
    return std::vector<Send>{{WithOtherId(RefusedReply(q)), 300}, {HonestReply(q), 300}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.15"});

  EXPECT_EQ(Done, Probe(0, "127.0.1.15"));

  std::vector<std::string> cells = RowTexts(0);
  EXPECT_EQ(TimedThenChecked, QueryNames(server)) << "a wait timed out";
  EXPECT_GE(ShownMs(cells[ColResult]), 590) << cells[ColResult];
  EXPECT_EQ(ShownMs(cells[ColResult]), GetSortKey(0));
  EXPECT_EQ(Gbk("否"), cells[ColHijack]);
}

TEST_F(ProbeTest, LateAnswerToTheSendBeforeIsNotThisSendsAnswer) {
  // Consecutive queries of a row differ in the low byte of the ID only.
  // The first server answers the first send after its wait is over, while
  // the second send waits 300 ms for its own answer; the second answers
  // the last timed send twice, the copy arriving while the forged-answer
  // check waits 200 ms for its address-only answer.
  TestDnsServer late("127.0.1.18", [](const ReceivedQuery& q) {
    if (q.name != ReferenceName) return std::vector<Send>{{HonestReply(q), 0}};
    return std::vector<Send>{{HonestReply(q), q.index == 0 ? 600u : 300u}};
  });
  TestDnsServer copying("127.0.1.19", [](const ReceivedQuery& q) {
    if (q.name != ReferenceName) return std::vector<Send>{{ForgedReply(q), 200}};
    std::vector<Send> sends{{HonestReply(q), 0}};
    if (q.index == EnoughReferenceSends - 1) sends.push_back({HonestReply(q), 100});
    return sends;
  });
  ASSERT_TRUE(late.ok() && copying.ok());
  AddRows({"127.0.1.18", "127.0.1.19"});

  QueryIdCounter = 0x4210;
  EXPECT_EQ(Done, Probe(0, "127.0.1.18"));
  QueryIdCounter = 0x4310;
  EXPECT_EQ(Done, Probe(1, "127.0.1.19"));

  for (TestDnsServer* server : {&late, &copying}) {
    std::vector<ReceivedQuery> queries = server->Queries();
    ASSERT_EQ(TimedThenChecked, QueryNames(*server)) << server->address();
    EXPECT_EQ(queries.front().id >> 8, queries.back().id >> 8) << "the IDs tell the sends apart";
  }
  std::vector<std::string> timed = RowTexts(0);
  EXPECT_GE(ShownMs(timed[ColResult]), 290) << "the first send's answer was timed from the second";
  EXPECT_EQ(Gbk("否"), timed[ColHijack]);
  std::vector<std::string> checked = RowTexts(1);
  EXPECT_GE(ShownMs(checked[ColResult]), 0) << checked[ColResult];
  EXPECT_EQ(Gbk("是"), checked[ColHijack]) << "a timed answer was taken for the check's";
}

TEST_F(ProbeTest, ShortAndOversizedDatagramsAreNotTakenForTheReply) {
  // Before each real answer: one byte equal to the ID's first byte, and a
  // refusal carrying the right ID but too long for the probe's buffer.
  TestDnsServer server("127.0.1.16", [](const ReceivedQuery& q) {
    Bytes oneByte(1, static_cast<unsigned char>(q.id >> 8));
    Bytes oversized = RefusedReply(q);
    oversized.resize(2000, 0);
    return std::vector<Send>{{oneByte, 0}, {oversized, 0}, {HonestReply(q), 0}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.16"});

  EXPECT_EQ(Done, Probe(0, "127.0.1.16"));
  ExpectAnsweredThroughout(0, server);
}

TEST_F(ProbeTest, SixteenStrayDatagramsBeforeEachAnswerAreWaitedOutButSeventeenAreNot) {
  // All sent at once, with an ID no query of the row carries: no wait runs
  // out, so only the bound on restarts can end one.
  const int counts[] = {MostStrayDatagrams, MostStrayDatagrams + 1};
  const std::vector<std::string> addresses = LoopbackAddresses("127.0.1.36", 2);
  for (int row = 0; row < 2; ++row) {
    const int strays = counts[row];
    SCOPED_TRACE(std::to_string(strays) + " strays before each answer");
    TestDnsServer server(addresses[row], [strays](const ReceivedQuery& q) {
      Bytes stray = HonestReply(q);
      stray[0] ^= 0x80;
      std::vector<Send> sends(static_cast<std::size_t>(strays), Send{stray, 0});
      sends.push_back({HonestReply(q), 0});
      return sends;
    });
    ASSERT_TRUE(server.ok());
    AddRows({addresses[row]});

    EXPECT_EQ(Done, Probe(row, addresses[row]));

    if (strays <= MostStrayDatagrams) {
      ExpectAnsweredThroughout(row, server);
    } else {
      EXPECT_EQ(Gbk("请求超时"), RowTexts(row)[ColResult]);
      EXPECT_EQ(Repeat(ReferenceName, MostReferenceSends), QueryNames(server));
    }
  }
}

TEST_F(ProbeTest, EndlessStrayDatagramsCannotHoldTheProbe) {
  // Once the first query arrives, datagrams with an ID no query of the row
  // carries come every 20 ms, without end: each would restart a wait.
  TestDnsServer server("127.0.1.17", Silent());
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.17"});

  std::atomic<bool> finished(false);
  ProbeResult result = Stopped;
  std::thread probe([&] {
    result = Probe(0, "127.0.1.17");
    finished = true;
  });
  ASSERT_TRUE(WaitFor([&] { return server.QueryCount() > 0; }, 5000));
  ReceivedQuery first = server.Queries()[0];
  Bytes stray = MakeReply(static_cast<std::uint16_t>(first.id + 0x8000), 0, first.name,
                          {ARecord(10, 1, 2, 3)});
  DWORD start = GetTickCount();
  const DWORD deadlineMs = 30000;
  int sent = 0;
  while (!finished && GetTickCount() - start < deadlineMs) {
    server.SendTo(first.from, stray);
    ++sent;
    Sleep(20);
  }
  bool endedUnderFlood = finished;
  probe.join();  // without the flood, time-outs end it in any case

  EXPECT_TRUE(endedUnderFlood) << "still waiting after " << sent << " stray datagrams";
  EXPECT_EQ(Done, result);
  EXPECT_EQ(Gbk("请求超时"), RowTexts(0)[ColResult]);
  EXPECT_EQ(Repeat(ReferenceName, MostReferenceSends), QueryNames(server));
}

// ---- The forged-answer check ---------------------------------------------

TEST_F(ProbeTest, ForgedVerdictsFollowTheAliasInTheReply) {
  struct Case {
    const char* what;
    std::function<Bytes(const ReceivedQuery&)> checkReply;
    const char* verdict;
  };
  const Case cases[] = {
      {"alias then address", HonestReply, "否"},
      {"address only", ForgedReply, "是"},
      {"refused", RefusedReply, "否"},
      {"NXDOMAIN without answers", [](const ReceivedQuery& q) { return NoAnswerReply(q, 3); },
       "是"},
      {"SERVFAIL without answers", [](const ReceivedQuery& q) { return NoAnswerReply(q, 2); },
       "是"},
      {"alias after an address",
       [](const ReceivedQuery& q) {
         return MakeReply(q.id, 0, q.name,
                          {ARecord(10, 1, 2, 3), CnameRecord("abc.l.example.net")});
       },
       "否"},
  };
  const int n = static_cast<int>(sizeof cases / sizeof cases[0]);
  std::vector<std::unique_ptr<TestDnsServer>> servers;
  const std::vector<std::string> addresses = LoopbackAddresses("127.0.1.20", n);
  for (int i = 0; i < n; ++i) {
    const Case& c = cases[i];
    servers.emplace_back(new TestDnsServer(addresses[i], [&c](const ReceivedQuery& q) {
      return std::vector<Send>{{q.name == TamperProbeName ? c.checkReply(q) : HonestReply(q), 0}};
    }));
    ASSERT_TRUE(servers.back()->ok());
  }
  AddRows(addresses);

  // All rows at once, as a scan's workers probe them.
  std::vector<ProbeResult> results(n, Stopped);
  std::vector<std::thread> probes;
  for (int i = 0; i < n; ++i) probes.emplace_back([&, i] { results[i] = Probe(i, addresses[i]); });
  for (std::thread& t : probes) t.join();

  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(cases[i].what);
    std::vector<std::string> cells = RowTexts(i);
    EXPECT_EQ(Done, results[i]);
    EXPECT_EQ(Gbk(cases[i].verdict), cells[ColHijack]);
    EXPECT_GE(ShownMs(cells[ColResult]), 0) << "the forged-answer check changed the result";
    EXPECT_EQ(ShownMs(cells[ColResult]), GetSortKey(i));
    EXPECT_EQ(TimedThenChecked, QueryNames(*servers[i]));
  }
}

TEST_F(ProbeTest, SilentForgedAnswerCheckEndsTimedOutAfterFourSends) {
  TestDnsServer server("127.0.1.30", [](const ReceivedQuery& q) {
    return q.name == ReferenceName ? std::vector<Send>{{HonestReply(q), 0}} : std::vector<Send>();
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.30"});

  Watched w = ProbeWatching(0, "127.0.1.30");

  EXPECT_EQ(Done, w.result);
  EXPECT_EQ(
      Concat(Repeat(ReferenceName, EnoughReferenceSends), Repeat(TamperProbeName, MostCheckSends)),
      QueryNames(server));
  EXPECT_EQ((std::vector<std::string>{"", Gbk("检测中"), Gbk("超时")}), w.hijackTexts);
  EXPECT_GE(ShownMs(w.cells[ColResult]), 0) << w.cells[ColResult];
  EXPECT_EQ(ShownMs(w.cells[ColResult]), w.sortKey);
}

// ---- Stop requests -------------------------------------------------------

TEST_F(ProbeTest, StopSeenAtAReferenceTimeOutLeavesTheRowUnfinished) {
  TestDnsServer server("127.0.1.31", Silent());
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.31"});
  // From an earlier scan; a stop must change neither.
  SetSortKey(0, 77);
  SetCellText(0, ColHijack, Gbk("否").c_str());

  ProbeResult result = Done;
  std::thread probe([&] { result = Probe(0, "127.0.1.31"); });
  ASSERT_TRUE(WaitFor([&] { return server.QueryCount() > 0; }, 5000));
  u_short port = server.Queries()[0].from.sin_port;
  EXPECT_FALSE(PortIsFree(port)) << "the port check cannot see the probe's socket";
  StopRequested = 1;
  probe.join();

  EXPECT_EQ(Stopped, result);
  std::vector<std::string> cells = RowTexts(0);
  EXPECT_EQ(Gbk("未完成"), cells[ColResult]);
  EXPECT_EQ(Gbk("否"), cells[ColHijack]);
  EXPECT_EQ(77, GetSortKey(0));
  EXPECT_TRUE(PortIsFree(port)) << "socket left open";
  // The stop is seen at the first time-out after it; a loaded machine may
  // let one more send slip in before the flag was set.
  EXPECT_LE(server.QueryCount(), 2);
}

TEST_F(ProbeTest, StopSeenAtACheckTimeOutLeavesTheVerdictUnfinished) {
  TestDnsServer server("127.0.1.32", [](const ReceivedQuery& q) {
    return q.name == ReferenceName ? std::vector<Send>{{HonestReply(q), 0}} : std::vector<Send>();
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.32"});

  ProbeResult result = Done;
  std::thread probe([&] { result = Probe(0, "127.0.1.32"); });
  ASSERT_TRUE(WaitFor([&] { return server.QueryCount() > EnoughReferenceSends; }, 10000));
  StopRequested = 1;
  probe.join();

  EXPECT_EQ(Stopped, result);
  std::vector<std::string> cells = RowTexts(0);
  EXPECT_EQ(Gbk("未完成"), cells[ColHijack]);
  int shown = ShownMs(cells[ColResult]);
  EXPECT_GE(shown, 0) << cells[ColResult];
  EXPECT_EQ(shown, GetSortKey(0)) << "a stop must not take the time away";
  EXPECT_TRUE(PortIsFree(server.Queries()[0].from.sin_port)) << "socket left open";
  // As above, one more send may slip in before the flag was set.
  EXPECT_LE(server.QueryCount(), EnoughReferenceSends + 2);
}

TEST_F(ProbeTest, StopDoesNotCutShortAProbeWhoseServerAnswers) {
  TestDnsServer server("127.0.1.33", Honest());
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.33"});
  StopRequested = 1;

  EXPECT_EQ(Done, Probe(0, "127.0.1.33"));
  ExpectAnsweredThroughout(0, server);
}

// ---- A row probed again --------------------------------------------------

TEST_F(ProbeTest, FailedSecondProbeKeepsTheEarlierVerdict) {
  std::atomic<bool> refuse(false);
  TestDnsServer server("127.0.1.34", [&refuse](const ReceivedQuery& q) {
    return std::vector<Send>{{refuse ? RefusedReply(q) : HonestReply(q), 0}};
  });
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.34"});
  ASSERT_EQ(Done, Probe(0, "127.0.1.34"));
  ASSERT_EQ(Gbk("否"), RowTexts(0)[ColHijack]);

  refuse = true;
  EXPECT_EQ(Done, Probe(0, "127.0.1.34"));

  std::vector<std::string> cells = RowTexts(0);
  EXPECT_EQ(Gbk("拒绝解析"), cells[ColResult]);
  EXPECT_EQ(Gbk("否"), cells[ColHijack]);
  EXPECT_EQ(NoLatency, GetSortKey(0));
}

// ---- Address texts no query may go to -----------------------------------

TEST_F(ProbeTest, AddressTextOfThirtyBytesIsProbedAndOfThirtyOneIsNot) {
  // A cell is read into 32 bytes, so a text of 31 may have been cut from a
  // longer one; trailing spaces, where the parser stops, make both lengths
  // name the same server.
  TestDnsServer server("127.0.1.35", Honest());
  ASSERT_TRUE(server.ok());
  std::string thirty = "127.0.1.35";
  thirty.resize(30, ' ');
  const std::string thirtyOne = thirty + " ";
  ASSERT_EQ(inet_addr("127.0.1.35"), inet_addr(thirtyOne.c_str()));
  AddRows({thirty, thirtyOne});

  EXPECT_EQ(Done, Probe(0, thirty));
  ExpectAnsweredThroughout(0, server);

  EXPECT_EQ(Done, Probe(1, thirtyOne));
  EXPECT_EQ(Gbk("无效解析"), RowTexts(1)[ColResult]);
  EXPECT_EQ(NoLatency, GetSortKey(1));
  EXPECT_EQ(TimedThenChecked, QueryNames(server)) << "the 31-byte text was probed";
}

TEST_F(ProbeTest, UnusableAddressTextsEndInvalidWithoutSending) {
  // A server on the address that a cut or careless parse could yield.
  TestDnsServer server("127.0.1.9", Honest());
  ASSERT_TRUE(server.ok());
  std::string longText = "127.0.1.9 ";
  longText.resize(40, 'x');
  ASSERT_EQ(inet_addr("127.0.1.9"), inet_addr(longText.c_str()))
      << "the parser stops at the space; else the long text tests nothing";
  const std::string texts[] = {"dns.example", "255.255.255.255", longText};
  // Each row is taken by a scan's worker, which reads its cell itself, as
  // Windows gives it: a read cut by one byte more would show here.
  RealSendMessage = reinterpret_cast<SendMessageFunction>(SendMessageSlot);
  ImportSlot list(&SendMessageSlot, reinterpret_cast<void*>(&DocumentedListSend));
  int row = 0;
  for (const std::string& text : texts) {
    SCOPED_TRACE("address text \"" + text + "\"");
    AddRows({text});
    SetSortKey(row, 42);
    std::uint32_t ids = QueryIdCounter.load();
    // A release of the pacer would move it; none may happen.
    DWORD marker = timeGetTime() - 1000;
    EnterCriticalSection(&PaceLock);
    LastSendTime = marker;
    LeaveCriticalSection(&PaceLock);

    NextRow = static_cast<unsigned>(row);
    ActiveWorkers = 1;
    ScanWorker(nullptr);

    EXPECT_EQ(static_cast<unsigned>(row + 1), DoneRows.load()) << "not counted as done";
    EXPECT_EQ(Gbk("无效解析"), RowTexts(row)[ColResult]);
    EXPECT_EQ(NoLatency, GetSortKey(row));
    EXPECT_EQ(ids, QueryIdCounter.load()) << "a query was built";
    EXPECT_EQ(marker, LastSendTime) << "a send was paced";
    ++row;
  }
  EXPECT_EQ(0, server.QueryCount());
}

}  // namespace
