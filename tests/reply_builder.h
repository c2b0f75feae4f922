// Builds DNS replies for tests, independently of the product's query
// builder, so a fault there cannot hide itself in the expected bytes.
#ifndef DNSCHECK_TESTS_REPLY_BUILDER_H
#define DNSCHECK_TESTS_REPLY_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct TestRecord {
  std::string owner;  // empty: a compression pointer to the question (C0 0C)
  unsigned type;
  unsigned cls;
  Bytes rdata;
};

// Dotted name in label form, ending in the zero byte.
Bytes LabelForm(const std::string& name);

TestRecord ARecord(unsigned a, unsigned b, unsigned c, unsigned d, unsigned cls = 1,
                   const std::string& owner = "");
TestRecord CnameRecord(const std::string& target, const std::string& owner = "");

// A reply to a query for `qname`. `ancount` < 0 means the number of records.
Bytes MakeReply(std::uint16_t id, unsigned rcode, const std::string& qname,
                const std::vector<TestRecord>& answers, int ancount = -1);

#endif
