// What a scan takes and gives back on every path: its claim, the 1 ms
// timer period the pacer needs on Windows with the opt-out from timer
// throttling, and the buttons, also when a thread cannot be created. The
// product finds its timer functions by look-up and calls the others
// through import slots; these tests stand in counting or failing
// functions of their own for both.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "import_slot.h"
#include "measure.h"
#include "probe/scan_control.h"
#include "probe/server_probe.h"
#include "resource.h"
#include "serverlist/server_table.h"
#include "test_dns_server.h"
#include "ui_fixture.h"
#include "window_test.h"

extern "C" void* CreateThreadSlot __asm__(IMPORT_SLOT_NAME(CreateThread, 24));

namespace {

const DWORD ScanTimeoutMs = 60000;

// Rows 127.0.`block`.1 and up.
std::vector<std::string> Addresses(int block, int count) {
  return LoopbackAddresses(("127.0." + std::to_string(block) + ".1").c_str(), count);
}

// What the product asked of the timer and of the power throttling, in order.
std::mutex LogLock;
std::string Log;
int Raised = 0;  // raises not yet released
int MostRaised = 0;

void Record(const std::string& event, int raise) {
  std::lock_guard<std::mutex> hold(LogLock);
  Log += event + " ";
  Raised += raise;
  MostRaised = std::max(MostRaised, Raised);
}

std::string LogText() {
  std::lock_guard<std::mutex> hold(LogLock);
  return Log;
}

int RaisedNow() {
  std::lock_guard<std::mutex> hold(LogLock);
  return Raised;
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// One scan as Windows 8 and later see it, and as older Windows see it.
const std::string ScanWithOptOut = "opt-out raise(1) release(1) restore ";
const std::string ScanWithoutOptOut = "raise(1) release(1) ";

MMRESULT WINAPI CountingBegin(UINT period) {
  Record("raise(" + std::to_string(period) + ")", 1);
  return timeBeginPeriod(period);
}

MMRESULT WINAPI CountingEnd(UINT period) {
  Record("release(" + std::to_string(period) + ")", -1);
  return timeEndPeriod(period);
}

// Checked against the values Microsoft documents (ProcessPowerThrottling
// is 4, the state's version 1, IGNORE_TIMER_RESOLUTION 4), not against the
// headers the product was built with.
BOOL WINAPI RecordingSetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS infoClass,
                                           LPVOID info, DWORD size) {
  struct State {
    ULONG Version, ControlMask, StateMask;
  };
  const State* state = static_cast<const State*>(info);
  std::string event = "other-information";
  if (process == GetCurrentProcess() && static_cast<int>(infoClass) == 4 && size == sizeof(State) &&
      state->Version == 1 && state->StateMask == 0) {
    if (state->ControlMask == 4) event = "opt-out";
    if (state->ControlMask == 0) event = "restore";
  }
  Record(event, 0);
  return TRUE;
}

// What the product finds by look-up: the counting timer functions, and the
// opt-out as Windows 8 and later offer it; `winmm`, `optOut` false: as on
// a system that lacks them.
std::map<std::string, void*> Offered(bool winmm, bool optOut) {
  auto present = [](bool is, void* function) { return is ? function : nullptr; };
  return {{"timeGetTime", present(winmm, reinterpret_cast<void*>(&timeGetTime))},
          {"timeBeginPeriod", present(winmm, reinterpret_cast<void*>(&CountingBegin))},
          {"timeEndPeriod", present(winmm, reinterpret_cast<void*>(&CountingEnd))},
          {"SetProcessInformation",
           present(optOut, reinterpret_cast<void*>(&RecordingSetProcessInformation))}};
}

LookupStandIn* Lookups;

// While it lives, thread creation fails as on an exhausted system.
std::atomic<int> RefusedThreads(0);

HANDLE WINAPI RefusingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                   DWORD, LPDWORD) {
  ++RefusedThreads;
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

class RefuseThreads {
 public:
  RefuseThreads() : slot_(&CreateThreadSlot, reinterpret_cast<void*>(&RefusingCreateThread)) {
    RefusedThreads = 0;
  }
  int refused() const { return RefusedThreads.load(); }

 private:
  ImportSlot slot_;
};

class ScanClaimTest : public WindowTest {
 protected:
  // Counting starts before the window opens: opening it raises nothing.
  static void SetUpTestSuite() {
    Lookups = new LookupStandIn(Offered(true, true));
    WindowTest::SetUpTestSuite();
  }
  static void TearDownTestSuite() {
    WindowTest::TearDownTestSuite();
    delete Lookups;
  }

  void SetUp() override {
    WindowTest::SetUp();
    EXPECT_EQ(0, RaisedNow()) << "the timer was raised while idle";
    std::lock_guard<std::mutex> hold(LogLock);
    Log.clear();
    MostRaised = Raised;
  }

  // A failed test must not leave a scan behind for the next one.
  void TearDown() override {
    if (ScanInProgress()) {
      ui_->Press(IDC_STOP);
      WaitFor([] { return !ScanInProgress(); }, ScanTimeoutMs);
    }
    Lookups->Offer(Offered(true, true));
  }

  static void LoadRows(int block, int count) {
    SendMessageA(GetDlgItem(ui_->dialog(), IDC_SERVERLIST), LVM_DELETEALLITEMS, 0, 0);
    TotalRows = 0;
    AddRows(Addresses(block, count));
  }

  // Until the tick that ends the scan has run to its end: it releases the
  // claim, then enables Start, then disables Stop.
  static bool WaitForEnd() {
    return WaitFor(
        [] { return !ScanInProgress() && ui_->IsEnabled(IDC_START) && !ui_->IsEnabled(IDC_STOP); },
        ScanTimeoutMs);
  }

  // Once Stop is enabled and every row has been taken (a silent server
  // keeps its row "正在验证" for seconds). Stop is enabled once the workers
  // exist, not once each has taken a row; a worker that sees the stop first
  // takes none, and its row is never probed.
  static bool WaitForStop() {
    return WaitFor(
        [] {
          if (!ui_->IsEnabled(IDC_STOP)) return false;
          for (int row = 0; row < RowCount(); ++row) {
            if (RowTexts(row)[ColResult] != Gbk("正在验证")) return false;
          }
          return true;
        },
        ScanTimeoutMs);
  }
};

const int HonestBlock = 7;
const int HonestRows = 3;
const int SilentBlock = 8;
const int SilentRows = ScanWorkerCount;

TEST_F(ScanClaimTest, EveryScanRaisesTheTimerOnceAndGivesItBackWhenItEnds) {
  TestDnsServer honest(Addresses(HonestBlock, 1)[0], HonestRows, Honest());
  TestDnsServer silent(Addresses(SilentBlock, 1)[0], SilentRows, Silent());
  ASSERT_TRUE(honest.ok() && silent.ok());

  // A scan that completes.
  LoadRows(HonestBlock, HonestRows);
  ui_->Press(IDC_START);
  EXPECT_EQ(1, RaisedNow());
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(static_cast<unsigned>(HonestRows), DoneRows.load());
  EXPECT_EQ(0, RaisedNow()) << "completed";

  // A scan that is stopped while every worker waits; presses of Start
  // while it runs raise nothing more.
  LoadRows(SilentBlock, SilentRows);
  ui_->Press(IDC_START);
  ui_->Press(IDC_START);
  ASSERT_TRUE(WaitForStop());
  ui_->Press(IDC_START);
  EXPECT_EQ(1, RaisedNow());
  ui_->Press(IDC_STOP);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(0u, DoneRows.load());
  EXPECT_EQ(0, RaisedNow()) << "stopped";

  // Start pressed again at once: the tick that ends a scan and the next
  // press are handled back to back on the UI thread (or the real tick came
  // first, and the one here finds nothing to end).
  LoadRows(HonestBlock, HonestRows);
  ui_->Press(IDC_START);
  ASSERT_TRUE(WaitFor(
      [] {
        return DoneRows.load() == static_cast<unsigned>(HonestRows) && ActiveWorkers.load() == 0;
      },
      ScanTimeoutMs));
  bool claimedAgain = false;
  ui_->Run([&] {
    OnRefreshTick(ui_->dialog());
    ui_->Press(IDC_START);
    claimedAgain = ScanInProgress();
  });
  EXPECT_TRUE(claimedAgain);
  EXPECT_EQ(1, RaisedNow());
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(static_cast<unsigned>(HonestRows), DoneRows.load());
  EXPECT_EQ(0, RaisedNow()) << "restarted at once";

  // A stray tick while idle has no scan to end and no timer to give back.
  ui_->Run([] { OnRefreshTick(ui_->dialog()); });
  EXPECT_EQ(0, RaisedNow()) << "stray tick";

  EXPECT_EQ(1, MostRaised);
  EXPECT_EQ(Repeat(ScanWithOptOut, 4), LogText());
}

TEST_F(ScanClaimTest, OnOlderOrStrippedSystemsAScanStillRunsAndGivesBackWhatItTook) {
  const struct {
    const char* system;
    bool winmm, optOut;
    std::string log;
  } systems[] = {
      // Windows before 8 has no SetProcessInformation.
      {"without the opt-out", true, false, ScanWithoutOptOut},
      // Without System32's winmm the pacer has no finer timer to ask for.
      {"without winmm", false, true, ""},
  };
  TestDnsServer honest(Addresses(HonestBlock, 1)[0], HonestRows, Honest());
  ASSERT_TRUE(honest.ok());
  for (const auto& system : systems) {
    SCOPED_TRACE(system.system);
    Lookups->Offer(Offered(system.winmm, system.optOut));
    {
      std::lock_guard<std::mutex> hold(LogLock);
      Log.clear();
    }
    LoadRows(HonestBlock, HonestRows);
    ui_->Press(IDC_START);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(static_cast<unsigned>(HonestRows), DoneRows.load());
    for (int row = 0; row < HonestRows; ++row) {
      EXPECT_EQ(std::to_string(GetSortKey(row)) + " ms", RowTexts(row)[ColResult]);
    }
    EXPECT_EQ(system.log, LogText());
  }
}

TEST_F(ScanClaimTest, StartThreadThatCannotBeCreatedGivesBackWhatThePressTook) {
  TestDnsServer honest(Addresses(HonestBlock, 1)[0], HonestRows, Honest());
  ASSERT_TRUE(honest.ok());
  LoadRows(HonestBlock, HonestRows);
  {
    RefuseThreads refuse;
    ui_->Press(IDC_START);
    EXPECT_EQ(1, refuse.refused());
  }
  EXPECT_FALSE(ScanInProgress());
  EXPECT_TRUE(ui_->IsEnabled(IDC_START));
  EXPECT_FALSE(ui_->IsEnabled(IDC_STOP));
  EXPECT_EQ(0u, ActiveWorkers.load());
  EXPECT_EQ(ScanWithOptOut, LogText());

  // Once threads can be made again, the next press scans.
  ui_->Press(IDC_START);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(static_cast<unsigned>(HonestRows), DoneRows.load());
  for (int row = 0; row < HonestRows; ++row) {
    EXPECT_EQ(std::to_string(GetSortKey(row)) + " ms", RowTexts(row)[ColResult]);
  }
  EXPECT_EQ(Repeat(ScanWithOptOut, 2), LogText());
}

TEST_F(ScanClaimTest, StopThreadThatCannotBeCreatedGivesStopBack) {
  TestDnsServer silent(Addresses(SilentBlock, 1)[0], SilentRows, Silent());
  ASSERT_TRUE(silent.ok());
  LoadRows(SilentBlock, SilentRows);
  ui_->Press(IDC_START);
  ASSERT_TRUE(WaitForStop());
  {
    RefuseThreads refuse;
    ui_->Press(IDC_STOP);
    EXPECT_EQ(1, refuse.refused());
  }
  EXPECT_TRUE(ui_->IsEnabled(IDC_STOP));
  EXPECT_TRUE(ScanInProgress());
  EXPECT_EQ(0u, StopRequested.load());

  // The given-back Stop stops the scan.
  ui_->Press(IDC_STOP);
  ASSERT_TRUE(WaitForEnd());
  for (int row = 0; row < SilentRows; ++row) {
    EXPECT_EQ(Gbk("未完成"), RowTexts(row)[ColResult]) << "row " << row;
  }
  EXPECT_EQ(ScanWithOptOut, LogText());

  // A failed press of a Stop that was already disabled leaves it so.
  {
    RefuseThreads refuse;
    ui_->Press(IDC_STOP);
  }
  EXPECT_FALSE(ui_->IsEnabled(IDC_STOP));
}

}  // namespace
