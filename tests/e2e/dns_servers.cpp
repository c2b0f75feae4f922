// A set of scripted DNS servers on loopback addresses, for driving the
// real program from outside (the end-to-end test and the demo):
//   e2e_dns_servers ADDRESS=KIND[:DELAY_MS] ...
// KIND is honest, forging (A only for the forged-answer check's name),
// refusing, zero (0.0.0.0), silent, or stalling (never answers, but keeps
// the prober waiting with datagrams of another ID, so a scan lasts long
// enough to act on while it runs). Prints "ready" once every address is bound, then
// one line per query received ("query ADDRESS NAME"), and serves until
// its standard input ends, so whoever started it stops it by closing
// that pipe.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "test_dns_server.h"
#include "ui/start_up.h"

namespace {

std::mutex PrintLock;

void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(PrintLock);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

Script Zero() {
  return [](const ReceivedQuery& q) { return std::vector<Send>{{ZeroAddressReply(q), 0}}; };
}

const int StallDatagrams = 16;
const DWORD StallGapMs = 400;

Script Stalling() {
  return [](const ReceivedQuery& q) {
    ReceivedQuery other = q;
    other.id = static_cast<std::uint16_t>(q.id ^ 0xFFFF);
    return std::vector<Send>(StallDatagrams, Send{HonestReply(other), StallGapMs});
  };
}

bool ScriptFor(const std::string& kind, DWORD delayMs, Script* script) {
  if (kind == "honest") {
    *script = Honest(delayMs);
  } else if (kind == "forging") {
    *script = Forging(delayMs);
  } else if (kind == "refusing") {
    *script = Refusing();
  } else if (kind == "zero") {
    *script = Zero();
  } else if (kind == "stalling") {
    *script = Stalling();
  } else if (kind == "silent") {
    *script = Silent();
  } else {
    return false;
  }
  return true;
}

// The log line comes before the reply, so a reader never sees a reply
// that has no query logged before it.
Script Logged(const std::string& address, Script inner) {
  return [address, inner](const ReceivedQuery& q) {
    Print("query " + address + " " + q.name);
    return inner(q);
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (!StartUp()) {
    std::fprintf(stderr, "e2e_dns_servers: the socket library did not start\n");
    return 1;
  }
  std::vector<std::unique_ptr<TestDnsServer>> servers;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::size_t equals = arg.find('=');
    std::size_t colon = arg.find(':');
    std::string address = arg.substr(0, equals);
    std::string kind =
        equals == std::string::npos ? "" : arg.substr(equals + 1, colon - equals - 1);
    DWORD delayMs =
        colon == std::string::npos ? 0 : std::strtoul(arg.c_str() + colon + 1, nullptr, 10);
    Script script;
    if (!ScriptFor(kind, delayMs, &script)) {
      std::fprintf(stderr, "e2e_dns_servers: cannot read %s\n", argv[i]);
      return 2;
    }
    servers.push_back(std::make_unique<TestDnsServer>(address, Logged(address, script)));
    if (!servers.back()->ok()) {
      std::fprintf(stderr, "e2e_dns_servers: cannot bind %s:53\n", address.c_str());
      return 1;
    }
  }
  Print("ready");
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  servers.clear();
  return 0;
}
