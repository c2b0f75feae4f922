// The process-wide pacer: releases at least 10 ms apart by the
// millisecond clock, whatever the number of callers, with winmm's clock or
// with kernel32's where winmm cannot be had, and across the clock's wrap
// after 2^32 ms.
#include <winsock2.h>
#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "design_numbers.h"
#include "import_slot.h"
#include "probe/pacer.h"

namespace {

void SetLastSendTime(DWORD value) {
  EnterCriticalSection(&PaceLock);
  LastSendTime = value;
  LeaveCriticalSection(&PaceLock);
}

// Parameter: whether winmm's clock is found.
class Pacer : public testing::TestWithParam<bool> {
 protected:
  Pacer() : clock_(GetParam() ? std::map<std::string, void*>{} : MissingClock()) {}
  static std::map<std::string, void*> MissingClock() { return {{"timeGetTime", nullptr}}; }
  LookupStandIn clock_;
};

INSTANTIATE_TEST_SUITE_P(EitherClock, Pacer, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& clock) {
                           return clock.param ? "Winmm" : "TickCount";
                         });

TEST_P(Pacer, TwentyThreadsAreReleasedAtLeastTenMillisecondsApart) {
  const int threads = Workers;
  const int callsEach = 8;
  std::mutex lock;
  std::vector<DWORD> seen;  // release stamps as each caller read them
  SetLastSendTime(PaceClock() - SendGapMs);
  DWORD before = PaceClock();
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < callsEach; ++i) {
        PaceSend();
        // Read at once (an aligned word, read without the lock so as not
        // to queue behind the next caller), this is this caller's release
        // stamp unless the thread was held up past the next release.
        DWORD stamp = LastSendTime;
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(stamp);
      }
    });
  }
  for (std::thread& t : callers) t.join();
  DWORD after = PaceClock();

  // n releases need at least (n - 1) intervals between the first and the
  // last, however the callers raced for them.
  const DWORD releases = threads * callsEach;
  EXPECT_GE(after - before, (releases - 1) * SendGapMs);
  // Any two distinct release stamps are an interval or more apart.
  std::sort(seen.begin(), seen.end());
  seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
  for (std::size_t i = 1; i < seen.size(); ++i)
    EXPECT_GE(seen[i] - seen[i - 1], SendGapMs) << "releases " << i << " and " << i + 1;
  // Callers mostly read their own stamp, even on a loaded machine; a pacer
  // that let many through in the same millisecond would show few stamps.
  EXPECT_GE(seen.size(), releases / 4);
}

TEST_P(Pacer, ReleaseWaitsOutTheIntervalSinceTheLastSend) {
  DWORD last = PaceClock() - 3;
  SetLastSendTime(last);
  PaceSend();
  EXPECT_GE(PaceClock() - last, SendGapMs);
  EXPECT_GE(LastSendTime - last, SendGapMs);
}

TEST_P(Pacer, LastSendAheadOfTheClockDoesNotStall) {
  // An unsigned difference just below 2^32: read as unsigned it is a send
  // some 49 days ago; a signed or widened reading would wait 30 s.
  const DWORD aheadMs = 30000;
  SetLastSendTime(PaceClock() + aheadMs);
  std::atomic<bool> released(false);
  std::thread caller([&] {
    PaceSend();
    released = true;
  });
  DWORD start = PaceClock();
  while (!released && PaceClock() - start < 5000) Sleep(10);
  bool releasedInTime = released;
  if (!releasedInTime) LastSendTime = PaceClock() - SendGapMs;  // free the caller
  caller.join();
  EXPECT_TRUE(releasedInTime);
}

// A clock that reads `offset` more than the real one.
std::atomic<DWORD> ClockOffset(0);
DWORD WINAPI ShiftedClock() { return timeGetTime() + ClockOffset.load(); }

TEST(PacerClock, IntervalCountsAcrossTheClockWrap) {
  // A watchdog, started before the clock is shifted so that its start-up
  // takes none of the few milliseconds before the wrap: it frees a pacer
  // that stalls at the wrap.
  std::atomic<bool> armed(false), released(false), stalled(false);
  std::thread watchdog([&] {
    while (!armed) Sleep(1);
    for (int waited = 0; !released && waited < 5000; ++waited) Sleep(1);
    if (!released) {
      stalled = true;
      LastSendTime = PaceClock() - SendGapMs;
    }
  });
  // The last send stamped 9 ms before the wrap, and the clock stands there
  // now: the next release is due 1 ms after the wrap, at 0x00000001.
  const DWORD last = 0xFFFFFFF7u;
  DWORD calledAt, releasedAt;
  {
    // Looked up before the clock is shifted, so that the look-up takes
    // none of the few milliseconds before the wrap either.
    ClockOffset = 0;
    LookupStandIn shifted({{"timeGetTime", reinterpret_cast<void*>(&ShiftedClock)}});
    SetLastSendTime(last);
    ClockOffset = last - timeGetTime();
    armed = true;
    calledAt = PaceClock();
    PaceSend();
    releasedAt = PaceClock();
    released = true;
    watchdog.join();
  }
  DWORD stamp = LastSendTime;

  ASSERT_GE(calledAt, last) << "the clock the pacer reads was not replaced, or the call came after "
                               "the wrap and tests nothing";
  EXPECT_FALSE(stalled) << "stalled at the wrap";
  EXPECT_GE(releasedAt - last, SendGapMs) << "released early at the wrap";
  EXPECT_LT(stamp, 0x1000u) << "the release stamp is from after the wrap";
}

}  // namespace
