#include "test_dns_server.h"

#include <mswsock.h>
#include <ws2tcpip.h>

#include <map>

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

// The one socket on port 53 and the servers it hands datagrams to. It
// lives until the process ends.
struct SharedPort {
  SOCKET s = INVALID_SOCKET;
  LPFN_WSARECVMSG recvMsg = nullptr;
  std::mutex mutex;
  std::map<ULONG, TestDnsServer*> servers;
  std::once_flag opened;
};

SharedPort& Port() {
  static SharedPort* port = new SharedPort;
  return *port;
}

void Receive(SharedPort& port) {
  std::vector<char> buffer(65536);
  char control[256];
  for (;;) {
    sockaddr_in from = {};
    WSABUF data = {static_cast<ULONG>(buffer.size()), buffer.data()};
    WSAMSG msg = {};
    msg.name = reinterpret_cast<sockaddr*>(&from);
    msg.namelen = sizeof from;
    msg.lpBuffers = &data;
    msg.dwBufferCount = 1;
    msg.Control.buf = control;
    msg.Control.len = sizeof control;
    DWORD got = 0;
    if (port.recvMsg(port.s, &msg, &got, nullptr, nullptr) != 0) {
      if (WSAGetLastError() == WSAEMSGSIZE) continue;
      Sleep(1);
      continue;
    }
    ULONG to = 0;
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&msg); c != nullptr; c = WSA_CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        to = reinterpret_cast<IN_PKTINFO*>(WSA_CMSG_DATA(c))->ipi_addr.s_addr;
      }
    }
    if (got < 2) continue;
    ReceivedQuery q;
    QueryPerformanceCounter(&q.when);
    q.bytes.assign(buffer.begin(), buffer.begin() + got);
    q.id = static_cast<std::uint16_t>((q.bytes[0] << 8) | q.bytes[1]);
    q.name = QuestionName(q.bytes);
    q.from = from;
    q.to.s_addr = to;
    q.index = 0;
    std::lock_guard<std::mutex> lock(port.mutex);
    auto server = port.servers.find(to);
    if (server != port.servers.end()) server->second->Deliver(std::move(q));
  }
}

void OpenPort(SharedPort& port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  DWORD on = 1;
  setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_port = htons(53);
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  GUID id = WSAID_WSARECVMSG;
  DWORD bytes = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &port.recvMsg,
               sizeof port.recvMsg, &bytes, nullptr, nullptr) != 0) {
    closesocket(s);
    return;
  }
  port.s = s;
  std::thread(Receive, std::ref(port)).detach();
}

}  // namespace

TestDnsServer::TestDnsServer(const std::string& address, Script script)
    : TestDnsServer(address, 1, std::move(script)) {}

TestDnsServer::TestDnsServer(const std::string& first, int count, Script script)
    : address_(first), script_(std::move(script)), registered_(false), stop_(false) {
  SharedPort& port = Port();
  std::call_once(port.opened, OpenPort, std::ref(port));
  if (port.s == INVALID_SOCKET) return;
  {
    std::lock_guard<std::mutex> lock(port.mutex);
    ULONG base = ntohl(inet_addr(first.c_str()));
    registered_ = true;
    for (int i = 0; i < count && registered_; ++i) {
      ULONG key = htonl(base + static_cast<ULONG>(i));
      registered_ = port.servers.emplace(key, this).second;
      if (registered_) keys_.push_back(key);
    }
    if (!registered_) {
      for (ULONG key : keys_) port.servers.erase(key);
      keys_.clear();
    }
  }
  if (registered_) thread_ = std::thread([this] { Serve(); });
}

TestDnsServer::~TestDnsServer() {
  if (!registered_) return;
  {
    std::lock_guard<std::mutex> lock(Port().mutex);
    for (ULONG key : keys_) Port().servers.erase(key);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  arrived_.notify_all();
  thread_.join();
}

void TestDnsServer::Deliver(ReceivedQuery q) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    q.index = static_cast<int>(queries_.size());
    queries_.push_back(q);
    pending_.push_back(std::move(q));
  }
  arrived_.notify_all();
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
  sendto(Port().s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
         reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void TestDnsServer::Serve() {
  for (;;) {
    ReceivedQuery q;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      arrived_.wait(lock, [this] { return stop_ || !pending_.empty(); });
      if (stop_) return;
      q = std::move(pending_.front());
      pending_.pop_front();
    }
    for (const Send& s : script_(q)) {
      if (s.delayMs > 0) Sleep(s.delayMs);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
      }
      SendTo(q.from, s.bytes);
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
