#include "probe/server_probe.h"

#include "probe/dns_message.h"
#include "probe/pacer.h"
#include "probe/probe_texts.h"
#include "probe/query_names.h"
#include "serverlist/server_table.h"

std::atomic<unsigned> StopRequested(0);

namespace {

const unsigned ReferenceMaxSends = 6;
// The reference phase ends at the first good answer to this send or later.
const unsigned ReferenceEnoughSends = 4;
const unsigned TamperMaxSends = 4;
const int BufferSize = 1024;
const unsigned short DnsPort = 53;

struct Probe {
  SOCKET s;
  sockaddr_in to;
  unsigned char buffer[BufferSize];
  int length;           // of the matching reply
  LARGE_INTEGER start;  // just before the send
  LARGE_INTEGER end;    // just after the matching reply
};

enum Exchange { Answered, TimedOut };

// Sends one query for `name` and waits for the datagram that carries its
// ID. A failed send, wait or receive counts as the time-out of this send:
// it leaves no reply to wait for, and the caller's send limit and stop
// check then end the phase as they would for a silent server.
Exchange SendAndWait(Probe& p, const char* name) {
  int queryLength = static_cast<int>(BuildQuery(p.buffer, name));
  const unsigned char id0 = p.buffer[0];
  const unsigned char id1 = p.buffer[1];
  PaceSend();
  QueryPerformanceCounter(&p.start);
  sendto(p.s, reinterpret_cast<const char*>(p.buffer), queryLength, 0,
         reinterpret_cast<const sockaddr*>(&p.to), sizeof p.to);
  for (int strays = 0; strays <= MaxStrayDatagrams; ++strays) {
    if (WaitReadable(p.s, ReplyWaitUs) <= 0) return TimedOut;
    int got = recvfrom(p.s, reinterpret_cast<char*>(p.buffer), BufferSize, 0, nullptr, nullptr);
    QueryPerformanceCounter(&p.end);
    if (got == SOCKET_ERROR) {
      // A datagram too long for the buffer is dropped like a stray one;
      // any other failure (a port-unreachable report) means no answer.
      if (WSAGetLastError() != WSAEMSGSIZE) return TimedOut;
      continue;
    }
    if (got >= 2 && p.buffer[0] == id0 && p.buffer[1] == id1) {
      p.length = got;
      return Answered;
    }
  }
  return TimedOut;
}

// The destination, unless the text is one no query may go to: a text the
// parser rejects (it then gives the broadcast address), the broadcast
// address itself, "this host" (0.0.0.0, which some stacks deliver to
// whatever listens locally), or a text that may have been cut to the
// reader's room and so name another address.
bool SetUpDestination(const char* addressText, sockaddr_in* to) {
  if (lstrlenA(addressText) >= AddressRoom - 1) return false;
  unsigned long address = inet_addr(addressText);
  if (address == INADDR_NONE || address == INADDR_ANY) return false;
  ZeroMemory(to, sizeof *to);
  to->sin_family = AF_INET;
  to->sin_port = htons(DnsPort);
  to->sin_addr.s_addr = address;
  return true;
}

void EndWithoutLatency(int row, const char* text) {
  SetSortKey(row, NoLatency);
  SetCellText(row, ColResult, text);
}

enum PhaseEnd { PhaseDone, PhaseStopped, PhaseNext };

PhaseEnd ReferencePhase(Probe& p, int row, DWORD ticksPerMs) {
  DWORD best = NoLatency;
  for (unsigned k = 1;; ++k) {
    if (SendAndWait(p, ReferenceName) == TimedOut) {
      if (StopRequested.load()) {
        SetCellText(row, ColResult, TextUnfinished);
        return PhaseStopped;
      }
      if (k < ReferenceMaxSends) continue;
      EndWithoutLatency(row, TextTimedOut);
      return PhaseDone;
    }
    // Microsoft's "Acquiring high-resolution time stamps": on some
    // multi-core machines under Windows XP the counter differs from core to
    // core, and a worker that waits can wake on another core. A reading
    // below the one before is a fault of the clock, not a reply time: it
    // counts as 0 ms, so that a server that answered never shows as dead.
    LONGLONG ticks = p.end.QuadPart - p.start.QuadPart;
    ULONGLONG elapsed = static_cast<ULONGLONG>(ticks < 0 ? 0 : ticks) / ticksPerMs;
    if (elapsed < best) best = static_cast<DWORD>(elapsed);
    switch (FindAddressAnswer(p.buffer, static_cast<std::size_t>(p.length))) {
      case Refused: EndWithoutLatency(row, TextRefused); return PhaseDone;
      case NoAddress: EndWithoutLatency(row, TextInvalid); return PhaseDone;
      case Address: {
        char text[16];
        wsprintfA(text, LatencyFormat, static_cast<int>(best));
        SetCellText(row, ColResult, text);
        SetSortKey(row, static_cast<int>(best));
        if (k >= ReferenceEnoughSends) return PhaseNext;
        break;
      }
    }
  }
}

PhaseEnd TamperPhase(Probe& p, int row) {
  SetCellText(row, ColHijack, TextChecking);
  for (unsigned k = 1;; ++k) {
    if (SendAndWait(p, TamperProbeName) == TimedOut) {
      if (StopRequested.load()) {
        SetCellText(row, ColHijack, TextUnfinished);
        return PhaseStopped;
      }
      if (k < TamperMaxSends) continue;
      SetCellText(row, ColHijack, TextTamperTimedOut);
      return PhaseDone;
    }
    bool alias = HasAliasAnswer(p.buffer, static_cast<std::size_t>(p.length));
    SetCellText(row, ColHijack, alias ? TextNo : TextYes);
    return PhaseDone;
  }
}

}  // namespace

int WaitReadable(SOCKET s, long microseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout;
  timeout.tv_sec = 0;
  timeout.tv_usec = microseconds;
  return select(0, &readable, nullptr, nullptr, &timeout);
}

ProbeResult ProbeServer(int row, const char* addressText, DWORD ticksPerMs) {
  SetCellText(row, ColResult, TextVerifying);
  Probe p;
  if (!SetUpDestination(addressText, &p.to)) {
    EndWithoutLatency(row, TextInvalid);
    return Done;
  }
  p.s = socket(AF_INET, SOCK_DGRAM, 0);
  if (p.s == INVALID_SOCKET) {
    EndWithoutLatency(row, TextInvalid);
    return Done;
  }
  PhaseEnd end = ReferencePhase(p, row, ticksPerMs);
  if (end == PhaseNext) end = TamperPhase(p, row);
  closesocket(p.s);
  return end == PhaseStopped ? Stopped : Done;
}
