// A scripted DNS server for tests: answers queries sent to one loopback
// address on port 53 as its script says, on a thread of its own. Replies
// are built with the test-only builder.
//
// Wine binds every UDP socket given a loopback address to 0.0.0.0 instead,
// so two servers could not share port 53. All servers of a process
// therefore share one socket on port 53, which learns each datagram's
// destination address (IP_PKTINFO) and hands it to the server registered
// for that address. Only one process may hold port 53 at a time: the
// tests that use servers are run one after another.
#ifndef DNSCHECK_TESTS_TEST_DNS_SERVER_H
#define DNSCHECK_TESTS_TEST_DNS_SERVER_H

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reply_builder.h"

struct ReceivedQuery {
  std::uint16_t id;
  std::string name;    // dotted question name
  Bytes bytes;         // the datagram as received
  LARGE_INTEGER when;  // high-resolution counter at receipt
  sockaddr_in from;
  in_addr to;  // the address the query was sent to
  int index;   // 0 for the first query this server received
};

// One datagram to send back, after `delayMs`.
struct Send {
  Bytes bytes;
  DWORD delayMs;
};

// Decides the datagrams sent for a query; an empty list stays silent.
using Script = std::function<std::vector<Send>(const ReceivedQuery&)>;

class TestDnsServer {
 public:
  // `address` is a dotted loopback address such as "127.0.1.5"; ok() is
  // false when port 53 cannot be had or another server has the address.
  TestDnsServer(const std::string& address, Script script);
  // One server answering on `count` consecutive addresses from `first`
  // (for scans of hundreds of rows without hundreds of threads).
  TestDnsServer(const std::string& first, int count, Script script);
  ~TestDnsServer();
  TestDnsServer(const TestDnsServer&) = delete;
  TestDnsServer& operator=(const TestDnsServer&) = delete;

  const std::string& address() const { return address_; }
  bool ok() const { return registered_; }
  std::vector<ReceivedQuery> Queries();
  int QueryCount();
  // Sends a datagram from port 53 at any time.
  void SendTo(const sockaddr_in& to, const Bytes& bytes);

  // Called by the shared socket's thread for each datagram to this address.
  void Deliver(ReceivedQuery q);

 private:
  void Serve();

  std::string address_;
  Script script_;
  std::vector<ULONG> keys_;  // registered addresses, network order
  bool registered_;
  bool stop_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<ReceivedQuery> pending_;
  std::vector<ReceivedQuery> queries_;
  std::thread thread_;
};

// Scripts for the usual servers. The reference name gets an A record
// (after an alias, as real servers give it); the forged-answer check's
// name gets what the script says.
extern const char* const TestReferenceName;
extern const char* const TestTamperName;

// An alias and an address, for either name.
Bytes HonestReply(const ReceivedQuery& q);
Bytes ForgedReply(const ReceivedQuery& q);  // A only, for any name
Bytes RefusedReply(const ReceivedQuery& q);
Bytes ZeroAddressReply(const ReceivedQuery& q);
Bytes NoAnswerReply(const ReceivedQuery& q, unsigned rcode);

Script Honest(DWORD delayMs = 0);
// Honest answers for the reference name, forged ones (A only) for the
// forged-answer check's name.
Script Forging(DWORD delayMs = 0);
Script Refusing();
Script Silent();

#endif
