#include "test_dns_server.h"

#include "probe/query_names.h"

const char* const TestReferenceName = ReferenceName;
const char* const TestTamperName = TamperProbeName;

namespace {

// Reads the question name of a query; empty when malformed.
std::string QuestionName(const Bytes& b) {
  std::string name;
  std::size_t p = 12;
  while (p < b.size() && b[p] != 0) {
    std::size_t n = b[p];
    if (p + 1 + n > b.size()) return std::string();
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(&b[p + 1]), n);
    p += 1 + n;
  }
  return name;
}

}  // namespace

TestDnsServer::TestDnsServer(const std::string& address, Script script)
    : address_(address), script_(std::move(script)), socket_(INVALID_SOCKET), stop_(false) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  // Without this, Wine refuses a second socket on port 53 even at another
  // address. Each test program keeps to its own addresses, so no two
  // servers share one.
  BOOL reuse = TRUE;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_port = htons(53);
  at.sin_addr.s_addr = inet_addr(address.c_str());
  if (bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    closesocket(s);
    return;
  }
  socket_ = s;
  thread_ = std::thread([this] { Serve(); });
}

TestDnsServer::~TestDnsServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

std::vector<ReceivedQuery> TestDnsServer::Queries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queries_;
}

int TestDnsServer::QueryCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(queries_.size());
}

void TestDnsServer::SendTo(const sockaddr_in& to, const Bytes& bytes) {
  sendto(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
         reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void TestDnsServer::Serve() {
  std::vector<char> buffer(65536);
  while (!stop_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait = {0, 20000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    sockaddr_in from = {};
    int fromLength = sizeof from;
    int got = recvfrom(socket_, buffer.data(), static_cast<int>(buffer.size()), 0,
                       reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got < 2) continue;
    ReceivedQuery q;
    QueryPerformanceCounter(&q.when);
    q.bytes.assign(buffer.begin(), buffer.begin() + got);
    q.id = static_cast<std::uint16_t>((q.bytes[0] << 8) | q.bytes[1]);
    q.name = QuestionName(q.bytes);
    q.from = from;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      q.index = static_cast<int>(queries_.size());
      queries_.push_back(q);
    }
    for (const Send& s : script_(q)) {
      if (s.delayMs > 0) Sleep(s.delayMs);
      if (stop_) break;
      SendTo(from, s.bytes);
    }
  }
}

Bytes HonestReply(const ReceivedQuery& q) {
  if (q.name == TestTamperName) {
    return MakeReply(q.id, 0, q.name, {CnameRecord("abc.l.example.net"), ARecord(10, 9, 8, 7)});
  }
  return MakeReply(q.id, 0, q.name, {CnameRecord("www.a.example.net"), ARecord(10, 1, 2, 3)});
}

Bytes ForgedReply(const ReceivedQuery& q) {
  return MakeReply(q.id, 0, q.name, {ARecord(31, 13, 64, 1)});
}

Bytes RefusedReply(const ReceivedQuery& q) { return MakeReply(q.id, 5, q.name, {}); }

Bytes ZeroAddressReply(const ReceivedQuery& q) {
  return MakeReply(q.id, 0, q.name, {ARecord(0, 0, 0, 0)});
}

Bytes NoAnswerReply(const ReceivedQuery& q, unsigned rcode) {
  return MakeReply(q.id, rcode, q.name, {});
}

Script Honest(DWORD delayMs) {
  return [delayMs](const ReceivedQuery& q) { return std::vector<Send>{{HonestReply(q), delayMs}}; };
}

Script Forging(DWORD delayMs) {
  return [delayMs](const ReceivedQuery& q) {
    Bytes reply = q.name == TestTamperName ? ForgedReply(q) : HonestReply(q);
    return std::vector<Send>{{reply, delayMs}};
  };
}

Script Refusing() {
  return [](const ReceivedQuery& q) { return std::vector<Send>{{RefusedReply(q), 0}}; };
}

Script Silent() {
  return [](const ReceivedQuery&) { return std::vector<Send>(); };
}
