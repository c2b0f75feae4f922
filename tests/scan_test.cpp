// Whole scans driven as a user drives them: presses of Start and Stop on
// the real dialog, the timer's ticks on its UI thread, and scripted DNS
// servers on loopback addresses of this program's own.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "design_numbers.h"
#include "measure.h"
#include "probe/scan_control.h"
#include "probe/server_probe.h"
#include "resource.h"
#include "serverlist/server_table.h"
#include "test_dns_server.h"
#include "ui_fixture.h"
#include "window_test.h"

namespace {

// Generous: a scan here needs a few seconds, a loaded machine more.
const DWORD ScanTimeoutMs = 60000;
const int MostSendsPerRow = MostReferenceSends + MostCheckSends;

// One address a row, enough for the largest table here.
const std::vector<std::string> RowAddresses = LoopbackAddresses("127.0.3.1", 120);
std::string Address(int i) { return RowAddresses.at(static_cast<std::size_t>(i)); }

// The servers of one test: one per row, each with a script of its own.
struct ServedAddress {
  std::string address;
  Script script;
};

// `rows` servers that answer every query after `delayMs`.
std::vector<ServedAddress> HonestServers(int rows, DWORD delayMs) {
  std::vector<ServedAddress> served;
  for (int i = 0; i < rows; ++i) served.push_back({Address(i), Honest(delayMs)});
  return served;
}

class ServerSet {
 public:
  explicit ServerSet(const std::vector<ServedAddress>& served) {
    for (const ServedAddress& s : served) {
      servers_.push_back(std::make_unique<TestDnsServer>(s.address, s.script));
    }
  }
  bool ok() const {
    return std::all_of(servers_.begin(), servers_.end(), [](const auto& s) { return s->ok(); });
  }
  int size() const { return static_cast<int>(servers_.size()); }
  const std::string& address(int i) const { return servers_[i]->address(); }
  std::vector<ReceivedQuery> Queries(int i) { return servers_[i]->Queries(); }
  int QueryCount(int i) { return servers_[i]->QueryCount(); }
  int TotalQueries() {
    int total = 0;
    for (int i = 0; i < size(); ++i) total += QueryCount(i);
    return total;
  }

 private:
  std::vector<std::unique_ptr<TestDnsServer>> servers_;
};

struct Progress {
  int threads;
  int done;
  int total;
};

// Reads a number at `at`, moving past it; false when there is none.
bool ReadNumber(const std::string& text, std::size_t* at, int* value) {
  std::size_t start = *at;
  *value = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    *value = *value * 10 + (text[(*at)++] - '0');
  }
  return *at > start;
}

bool ReadText(const std::string& text, std::size_t* at, const std::string& expected) {
  if (text.compare(*at, expected.size(), expected) != 0) return false;
  *at += expected.size();
  return true;
}

// The progress caption, read back exactly: a stray byte fails it.
bool ParseCaption(const std::string& caption, Progress* p) {
  static const std::string threads = Gbk("线程数: ");
  static const std::string progress = Gbk("  扫描进度: ");
  std::size_t at = 0;
  return ReadText(caption, &at, threads) && ReadNumber(caption, &at, &p->threads) &&
         ReadText(caption, &at, progress) && ReadNumber(caption, &at, &p->done) &&
         ReadText(caption, &at, "/") && ReadNumber(caption, &at, &p->total) && at == caption.size();
}

std::string FinalCaption(int done, int total) {
  return Gbk("线程数: 0  扫描进度: ") + std::to_string(done) + "/" + std::to_string(total);
}

// What was seen while a scan ran, sampled every few milliseconds.
struct ScanRecord {
  bool ended = false;
  unsigned maxWorkers = 0;
  std::vector<Progress> progress;  // every caption that parsed, in order
};

// Waits for the tick that gives Start back, watching on the way.
ScanRecord WatchScan(UiThread& ui) {
  ScanRecord r;
  DWORD start = GetTickCount();
  for (int poll = 0;; ++poll) {
    r.maxWorkers = std::max(r.maxWorkers, ActiveWorkers.load());
    Progress p;
    if (poll % 4 == 0 && ParseCaption(ui.Caption(), &p)) r.progress.push_back(p);
    if (!ScanInProgress() && ui.IsEnabled(IDC_START)) {
      r.ended = true;
      return r;
    }
    if (GetTickCount() - start > ScanTimeoutMs) return r;
    Sleep(2);
  }
}

ScanRecord RunScan(UiThread& ui) {
  ui.Press(IDC_START);
  return WatchScan(ui);
}

bool SortedByKey() {
  for (int row = 1; row < RowCount(); ++row) {
    if (GetSortKey(row - 1) > GetSortKey(row)) return false;
  }
  return true;
}

// A probe owns one socket, so queries from two source ports mean the row
// was handed to two workers.
bool FromOneSocket(const std::vector<ReceivedQuery>& queries) {
  for (const ReceivedQuery& q : queries) {
    if (q.from.sin_port != queries.front().from.sin_port) return false;
  }
  return true;
}

int CountNamed(const std::vector<ReceivedQuery>& queries, const char* name) {
  return static_cast<int>(std::count_if(queries.begin(), queries.end(),
                                        [name](const ReceivedQuery& q) { return q.name == name; }));
}

std::string Latency(int row) { return std::to_string(GetSortKey(row)) + " ms"; }

// Replies as `normal` says while `flag` is false and as `other` says once
// it is true, so one server can change between two scans.
Script Switching(const std::atomic<bool>& flag, Script normal, Script other) {
  return [&flag, normal, other](const ReceivedQuery& q) { return flag ? other(q) : normal(q); };
}

Script NoAddress() {
  return [](const ReceivedQuery& q) { return std::vector<Send>{{ZeroAddressReply(q), 0}}; };
}

// Each test also starts from an empty caption.
class ScanTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    SetWindowTextA(ui_->dialog(), "");
  }

  // A failed test must not leave a scan behind for the next one.
  void TearDown() override {
    if (!ScanInProgress()) return;
    ui_->Press(IDC_STOP);
    WaitFor([] { return !ScanInProgress(); }, ScanTimeoutMs);
  }

  // Rows in the order of `servers`; answers which server a row's address is.
  void LoadRows(const ServerSet& servers) {
    std::vector<std::string> addresses;
    for (int i = 0; i < servers.size(); ++i) {
      addresses.push_back(servers.address(i));
      serverOf_[servers.address(i)] = i;
    }
    AddRows(addresses);
  }

  int ServerAt(int row) { return serverOf_.at(RowTexts(row)[ColAddress]); }

  std::map<std::string, int> serverOf_;
};

enum Kind { Fast, Forger, Slow, Refuser, Mute, Empty };

TEST_F(ScanTest, ManyMixedRowsAllEndDoneAndSortFastestFirst) {
  const int rows = 120;
  const DWORD slowMs = 150;
  // Per twenty rows: twelve honest, two forging, two slow, two refusing,
  // one mute, one answering without an address.
  const Kind pattern[20] = {Fast, Fast, Fast,   Fast,   Fast, Fast, Fast,    Fast,    Fast, Fast,
                            Fast, Fast, Forger, Forger, Slow, Slow, Refuser, Refuser, Mute, Empty};
  const int withoutLatency = rows / 20 * 4;
  std::vector<Kind> kinds;
  std::vector<ServedAddress> served;
  for (int i = 0; i < rows; ++i) {
    Kind k = pattern[i % 20];
    kinds.push_back(k);
    Script s = k == Fast      ? Honest()
               : k == Forger  ? Forging()
               : k == Slow    ? Honest(slowMs)
               : k == Refuser ? Refusing()
               : k == Mute    ? Silent()
                              : NoAddress();
    served.push_back({Address(i), s});
  }
  ServerSet servers(served);
  ASSERT_TRUE(servers.ok());
  LoadRows(servers);

  ScanRecord scan = RunScan(*ui_);
  ASSERT_TRUE(scan.ended);

  EXPECT_EQ(FinalCaption(rows, rows), ui_->Caption());
  EXPECT_EQ(static_cast<unsigned>(rows), DoneRows.load());
  EXPECT_EQ(0u, ActiveWorkers.load());
  EXPECT_FALSE(ui_->IsEnabled(IDC_STOP));
  EXPECT_LE(scan.maxWorkers, static_cast<unsigned>(Workers));

  // Progress as the ticks showed it: never more than twenty workers, all
  // twenty busy while rows remained, and a count that only grows.
  bool sawAllWorkers = false;
  for (std::size_t i = 0; i < scan.progress.size(); ++i) {
    const Progress& p = scan.progress[i];
    EXPECT_LE(p.threads, Workers);
    EXPECT_EQ(rows, p.total);
    if (i > 0) {
      EXPECT_GE(p.done, scan.progress[i - 1].done);
    }
    sawAllWorkers = sawAllWorkers || p.threads == Workers;
  }
  EXPECT_TRUE(sawAllWorkers);

  ASSERT_EQ(rows, RowCount());
  EXPECT_TRUE(SortedByKey());
  for (int row = 0; row < rows; ++row) {
    int server = ServerAt(row);
    std::vector<std::string> cells = RowTexts(row);
    std::vector<ReceivedQuery> queries = servers.Queries(server);
    SCOPED_TRACE(cells[ColAddress]);
    EXPECT_TRUE(FromOneSocket(queries));
    EXPECT_LE(static_cast<int>(queries.size()), MostSendsPerRow);
    EXPECT_EQ(row >= rows - withoutLatency, GetSortKey(row) == NoLatency);
    switch (kinds[server]) {
      case Fast:
      case Forger:
      case Slow:
        EXPECT_EQ(Latency(row), cells[ColResult]);
        EXPECT_EQ(Gbk(kinds[server] == Forger ? "是" : "否"), cells[ColHijack]);
        EXPECT_GE(CountNamed(queries, TestReferenceName), EnoughReferenceSends);
        EXPECT_GE(CountNamed(queries, TestTamperName), 1);
        if (kinds[server] == Slow) {
          EXPECT_GE(GetSortKey(row), static_cast<int>(slowMs));
        }
        break;
      case Refuser:
        EXPECT_EQ(Gbk("拒绝解析"), cells[ColResult]);
        EXPECT_EQ("", cells[ColHijack]);
        break;
      case Mute:
        EXPECT_EQ(Gbk("请求超时"), cells[ColResult]);
        EXPECT_EQ("", cells[ColHijack]);
        EXPECT_EQ(MostReferenceSends, static_cast<int>(queries.size()));  // every send
        break;
      case Empty:
        EXPECT_EQ(Gbk("无效解析"), cells[ColResult]);
        EXPECT_EQ("", cells[ColHijack]);
        break;
    }
  }
}

TEST_F(ScanTest, EmptyTableEndsAtTheFirstTick) {
  ScanRecord scan = RunScan(*ui_);
  ASSERT_TRUE(scan.ended);
  EXPECT_EQ(FinalCaption(0, 0), ui_->Caption());
  EXPECT_EQ(0u, ActiveWorkers.load());
  EXPECT_EQ(0u, DoneRows.load());
  EXPECT_FALSE(ui_->IsEnabled(IDC_STOP));
  EXPECT_EQ(0, RowCount());
}

TEST_F(ScanTest, SurplusWorkersEndAtOnceWhenRowsAreFewerThanWorkers) {
  // Each row takes at least five replies of 100 ms, so several ticks see
  // the five busy workers after the other fifteen have gone.
  const int rows = 5;
  ServerSet servers(HonestServers(rows, 100));
  ASSERT_TRUE(servers.ok());
  LoadRows(servers);

  ScanRecord scan = RunScan(*ui_);
  ASSERT_TRUE(scan.ended);
  EXPECT_EQ(FinalCaption(rows, rows), ui_->Caption());
  bool sawOnlyBusyWorkers = false;
  for (const Progress& p : scan.progress) {
    EXPECT_LE(p.threads, Workers);
    sawOnlyBusyWorkers = sawOnlyBusyWorkers || (p.threads >= 1 && p.threads <= rows);
  }
  EXPECT_TRUE(sawOnlyBusyWorkers);
  for (int row = 0; row < rows; ++row) {
    EXPECT_EQ(Latency(row), RowTexts(row)[ColResult]);
    std::vector<ReceivedQuery> queries = servers.Queries(ServerAt(row));
    EXPECT_TRUE(FromOneSocket(queries));
    EXPECT_GE(static_cast<int>(queries.size()), EnoughReferenceSends + 1);
  }
}

TEST_F(ScanTest, StopEndsWaitingRowsUnfinishedAndLetsAnsweringRowsFinish) {
  // Mute rows first, then rows slow enough to be mid-probe at the stop,
  // then more fast rows than the pacer lets the other workers finish in
  // five seconds, so that rows are left when the stop comes.
  const int mute = 4, slow = 6, rows = 110;
  const DWORD slowMs = 200;
  std::vector<ServedAddress> served;
  for (int i = 0; i < rows; ++i) {
    served.push_back({Address(i), i < mute          ? Silent()
                                  : i < mute + slow ? Honest(slowMs)
                                                    : Honest()});
  }
  ServerSet servers(served);
  ASSERT_TRUE(servers.ok());
  LoadRows(servers);

  ui_->Press(IDC_START);
  ASSERT_TRUE(WaitFor(
      [&] {
        for (int i = 0; i < mute + slow; ++i) {
          if (servers.QueryCount(i) == 0) return false;
        }
        return ui_->IsEnabled(IDC_STOP);
      },
      ScanTimeoutMs));
  ui_->Press(IDC_STOP);
  ASSERT_TRUE(WaitFor([&] { return !ui_->IsEnabled(IDC_STOP); }, ScanTimeoutMs));
  // The slow rows still have replies to come, so this is the stopping
  // state, not the end of the scan.
  EXPECT_FALSE(ui_->IsEnabled(IDC_START));

  ScanRecord scan = WatchScan(*ui_);
  ASSERT_TRUE(scan.ended);
  EXPECT_FALSE(ui_->IsEnabled(IDC_STOP));
  EXPECT_EQ(0u, ActiveWorkers.load());
  EXPECT_TRUE(SortedByKey());

  int finished = 0, untouched = 0;
  for (int row = 0; row < rows; ++row) {
    int server = ServerAt(row);
    std::vector<std::string> cells = RowTexts(row);
    SCOPED_TRACE(cells[ColAddress]);
    if (server < mute) {
      EXPECT_EQ(Gbk("未完成"), cells[ColResult]);
      EXPECT_EQ(NoLatency, GetSortKey(row));
      EXPECT_EQ("", cells[ColHijack]);
    } else if (servers.QueryCount(server) == 0) {
      EXPECT_GE(server, mute + slow);
      EXPECT_EQ("", cells[ColResult]);  // not handed out after the stop
      ++untouched;
    } else {
      // A server that keeps answering carries its row to the end.
      EXPECT_EQ(Latency(row), cells[ColResult]);
      EXPECT_EQ(Gbk("否"), cells[ColHijack]);
      if (server < mute + slow) {
        EXPECT_GE(GetSortKey(row), static_cast<int>(slowMs));
      }
      ++finished;
    }
  }
  EXPECT_GT(untouched, 0);
  EXPECT_EQ(static_cast<unsigned>(finished), DoneRows.load());
  EXPECT_EQ(FinalCaption(finished, rows), ui_->Caption());
}

TEST_F(ScanTest, SecondScanStartsAtTheTopOfTheSortedTable) {
  // The ten rows loaded first refuse in the first scan and so sort last;
  // in the second they answer at once, while the twenty rows now on top
  // answer slowly. Rows are handed out from the top, so no bottom row can
  // be probed before a top row has finished.
  const int bottom = 10, rows = 30;
  const DWORD slowMs = 150;
  std::atomic<bool> second(false);
  std::vector<ServedAddress> served;
  for (int i = 0; i < rows; ++i) {
    served.push_back({Address(i), i < bottom ? Switching(second, Refusing(), Honest())
                                             : Switching(second, Honest(), Honest(slowMs))});
  }
  ServerSet servers(served);
  ASSERT_TRUE(servers.ok());
  LoadRows(servers);

  ASSERT_TRUE(RunScan(*ui_).ended);
  EXPECT_EQ(FinalCaption(rows, rows), ui_->Caption());
  for (int row = 0; row < rows; ++row)
    EXPECT_EQ(row >= rows - bottom, ServerAt(row) < bottom) << row;

  LARGE_INTEGER secondStart;
  QueryPerformanceCounter(&secondStart);
  second = true;
  ScanRecord scan = RunScan(*ui_);
  ASSERT_TRUE(scan.ended);
  EXPECT_EQ(FinalCaption(rows, rows), ui_->Caption());
  EXPECT_EQ(static_cast<unsigned>(rows), DoneRows.load());
  for (const Progress& p : scan.progress) EXPECT_LE(p.done, rows);

  LONGLONG firstTopFinish = 0, firstBottomQuery = 0;
  for (int i = 0; i < rows; ++i) {
    std::vector<ReceivedQuery> queries = servers.Queries(i);
    auto firstOfSecond = std::find_if(queries.begin(), queries.end(), [&](const ReceivedQuery& q) {
      return q.when.QuadPart > secondStart.QuadPart;
    });
    ASSERT_TRUE(firstOfSecond != queries.end()) << servers.address(i);
    if (i < bottom) {
      LONGLONG t = firstOfSecond->when.QuadPart;
      if (firstBottomQuery == 0 || t < firstBottomQuery) firstBottomQuery = t;
    } else {
      LONGLONG t = queries.back().when.QuadPart;  // the forged-answer check's query
      if (firstTopFinish == 0 || t < firstTopFinish) firstTopFinish = t;
    }
  }
  EXPECT_GT(firstBottomQuery, firstTopFinish);
  EXPECT_TRUE(SortedByKey());
  for (int row = 0; row < rows; ++row) EXPECT_EQ(Latency(row), RowTexts(row)[ColResult]);
}

TEST_F(ScanTest, EveryWorkerIsCountedWhenStartReturns) {
  // A tick that read zero before the workers had counted themselves would
  // end the scan at once. With a mute row for every worker none can end
  // within seconds, so all twenty must be counted as soon as the start
  // thread is done, whether or not they have begun to run.
  std::vector<ServedAddress> served;
  for (int i = 0; i < Workers; ++i) served.push_back({Address(i), Silent()});
  ServerSet servers(served);
  ASSERT_TRUE(servers.ok());
  LoadRows(servers);

  bool claimed = false;
  ui_->Run([&] { claimed = ClaimScan(); });
  ASSERT_TRUE(claimed);
  std::thread start([] { StartScan(nullptr); });
  start.join();
  EXPECT_EQ(static_cast<unsigned>(Workers), ActiveWorkers.load());

  ui_->Press(IDC_STOP);
  ASSERT_TRUE(WatchScan(*ui_).ended);
  EXPECT_EQ(FinalCaption(0, Workers), ui_->Caption());
}

TEST_F(ScanTest, RapidStartPressesStartOneScan) {
  const int rows = 30;
  ServerSet servers(HonestServers(rows, 20));
  ASSERT_TRUE(servers.ok());
  LoadRows(servers);

  // Queued presses are all handled before the first start thread is
  // likely to have run; the later ones land while the scan is under way.
  for (int i = 0; i < 50; ++i) {
    PostMessageA(ui_->dialog(), WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(ui_->dialog(), IDC_START)));
  }
  for (int i = 0; i < 20; ++i) {
    ui_->Press(IDC_START);
    Sleep(5);
  }
  ScanRecord scan = WatchScan(*ui_);
  ASSERT_TRUE(scan.ended);

  EXPECT_LE(scan.maxWorkers, static_cast<unsigned>(Workers));
  EXPECT_EQ(FinalCaption(rows, rows), ui_->Caption());
  for (int i = 0; i < rows; ++i) {
    std::vector<ReceivedQuery> queries = servers.Queries(i);
    SCOPED_TRACE(servers.address(i));
    EXPECT_TRUE(FromOneSocket(queries));
    EXPECT_GE(static_cast<int>(queries.size()), EnoughReferenceSends + 1);
    EXPECT_LE(static_cast<int>(queries.size()), MostSendsPerRow);
  }
}

TEST_F(ScanTest, LateStopOfAnEndedScanLeavesTheNextOneRunning) {
  // The mute rows of the second scan are mid-probe when the stops come.
  const int mute = 3, rows = 25;
  std::atomic<bool> second(false);
  std::vector<ServedAddress> served;
  for (int i = 0; i < rows; ++i) {
    served.push_back({Address(i), i < mute ? Switching(second, Honest(), Silent()) : Honest()});
  }
  ServerSet servers(served);
  ASSERT_TRUE(servers.ok());
  LoadRows(servers);

  ui_->Press(IDC_START);
  ui_->Run([] { AimStop(); });  // a press of Stop whose thread runs late
  ASSERT_TRUE(WatchScan(*ui_).ended);

  std::vector<int> before;
  for (int i = 0; i < mute; ++i) before.push_back(servers.QueryCount(i));
  second = true;
  ui_->Press(IDC_START);
  ASSERT_TRUE(WaitFor(
      [&] {
        for (int i = 0; i < mute; ++i) {
          if (servers.QueryCount(i) == before[i]) return false;
        }
        return ui_->IsEnabled(IDC_STOP);
      },
      ScanTimeoutMs));
  // A stop that took this scan for its own would have raised the flag
  // before returning.
  std::thread late([] { StopScan(nullptr); });
  late.join();
  EXPECT_EQ(0u, StopRequested.load());
  EXPECT_TRUE(ui_->IsEnabled(IDC_STOP));

  // The same call aimed at the running scan stops it.
  ui_->Run([] { AimStop(); });
  std::thread aimed([] { StopScan(nullptr); });
  aimed.join();  // returns once every worker has ended
  EXPECT_EQ(0u, ActiveWorkers.load());
  ASSERT_TRUE(WatchScan(*ui_).ended);
  EXPECT_LE(DoneRows.load(), static_cast<unsigned>(rows - mute));
  EXPECT_EQ(FinalCaption(static_cast<int>(DoneRows.load()), rows), ui_->Caption());
  for (int row = 0; row < rows; ++row) {
    std::vector<std::string> cells = RowTexts(row);
    EXPECT_EQ(ServerAt(row) < mute ? Gbk("未完成") : Latency(row), cells[ColResult]);
  }
}

}  // namespace
