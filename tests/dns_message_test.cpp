#include <algorithm>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "probe/dns_message.h"
#include "reply_builder.h"

namespace {

const char* const QName = "abc.example.com";

// The walkers get an exactly sized heap copy, so a read past `length`
// is caught by AddressSanitizer in the native build.
AddressOutcome Find(const Bytes& reply, std::size_t length) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[length]);
  std::copy(reply.begin(), reply.begin() + length, copy.get());
  return FindAddressAnswer(copy.get(), length);
}
AddressOutcome Find(const Bytes& reply) { return Find(reply, reply.size()); }

bool Alias(const Bytes& reply, std::size_t length) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[length]);
  std::copy(reply.begin(), reply.begin() + length, copy.get());
  return HasAliasAnswer(copy.get(), length);
}
bool Alias(const Bytes& reply) { return Alias(reply, reply.size()); }

TEST(QueryLayout, ThreeLabelNameGivesTheDocumentedBytes) {
  unsigned char buffer[1024];
  std::size_t n = EncodeName(buffer, "abc.defgh.ijk");
  const unsigned char encoded[] = {3,   'a', 'b', 'c', 5,   'd', 'e', 'f',
                                   'g', 'h', 3,   'i', 'j', 'k', 0};
  ASSERT_EQ(15u, n);
  EXPECT_TRUE(std::equal(encoded, encoded + 15, buffer));

  std::size_t length = BuildQuery(buffer, "abc.defgh.ijk");
  ASSERT_EQ(31u, length);
  const unsigned char header[] = {0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(std::equal(header, header + 10, buffer + 2));
  EXPECT_TRUE(std::equal(encoded, encoded + 15, buffer + 12));
  const unsigned char tail[] = {0x00, 0x01, 0x00, 0x01};
  EXPECT_TRUE(std::equal(tail, tail + 4, buffer + 27));
}

TEST(QueryLayout, SingleLabelAndLongNames) {
  unsigned char buffer[1024];
  EXPECT_EQ(5u, EncodeName(buffer, "abc"));
  EXPECT_EQ(3, buffer[0]);
  EXPECT_EQ(0, buffer[4]);
  // A name longer than a label may be: no limit is applied, the count
  // byte simply holds the label's length.
  std::string longLabel(70, 'x');
  EXPECT_EQ(72u, EncodeName(buffer, longLabel.c_str()));
  EXPECT_EQ(70, buffer[0]);
}

TEST(QueryIds, ConsecutiveAndWrapping) {
  const struct {
    std::uint32_t counter;
    unsigned firstId, secondId;
  } cases[] = {
      {0x1234, 0x1234, 0x1235},
      {0xFFFF, 0xFFFF, 0x0000},
      {0xFFFFFFFFu, 0xFFFF, 0x0000},  // the 32-bit counter itself wraps too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.counter);
    unsigned char buffer[64];
    QueryIdCounter = c.counter;
    BuildQuery(buffer, QName);
    EXPECT_EQ(c.firstId, (unsigned(buffer[0]) << 8) | buffer[1]);
    BuildQuery(buffer, QName);
    EXPECT_EQ(c.secondId, (unsigned(buffer[0]) << 8) | buffer[1]);
  }
}

TEST(QueryIds, ManyThreadsNeitherRepeatNorLoseAnId) {
  const int Threads = 8;
  const int PerThread = 4000;  // 32000 IDs: fewer than 65536, so all distinct
  QueryIdCounter = 0;
  std::vector<std::vector<unsigned>> seen(Threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < Threads; ++t) {
    pool.emplace_back([&seen, t] {
      unsigned char buffer[64];
      for (int i = 0; i < PerThread; ++i) {
        BuildQuery(buffer, QName);
        seen[t].push_back((unsigned(buffer[0]) << 8) | buffer[1]);
      }
    });
  }
  for (std::thread& th : pool) th.join();
  std::set<unsigned> all;
  for (const auto& v : seen) all.insert(v.begin(), v.end());
  EXPECT_EQ(static_cast<std::size_t>(Threads * PerThread), all.size());
  EXPECT_EQ(0u, *all.begin());
  EXPECT_EQ(static_cast<unsigned>(Threads * PerThread - 1), *all.rbegin());
  EXPECT_EQ(static_cast<unsigned>(Threads * PerThread), QueryIdCounter.load());
}

TEST(Refusal, TakesPrecedenceOverAnyContent) {
  Bytes refused = MakeReply(1, 5, QName, {ARecord(1, 2, 3, 4)});
  EXPECT_EQ(Refused, Find(refused));
  EXPECT_TRUE(Alias(refused));
  // Only the first four bytes are needed to see a refusal.
  EXPECT_EQ(Refused, Find(refused, 4));
  EXPECT_TRUE(Alias(refused, 4));
  EXPECT_EQ(NoAddress, Find(refused, 3));
  EXPECT_FALSE(Alias(refused, 3));
  // RCODE lives in the low four bits only.
  Bytes other = MakeReply(1, 0, QName, {});
  other[3] = 0xF0 | 3;
  EXPECT_EQ(NoAddress, Find(other));
}

TEST(Answers, NxdomainAndServfailWithoutAnswersFindNothing) {
  for (unsigned rcode : {0u, 2u, 3u}) {
    Bytes r = MakeReply(1, rcode, QName, {});
    EXPECT_EQ(NoAddress, Find(r)) << rcode;
    EXPECT_FALSE(Alias(r)) << rcode;
  }
}

TEST(Answers, CnameThenAWithPointerOwners) {
  Bytes r = MakeReply(7, 0, QName, {CnameRecord("abc.cdn.example.net"), ARecord(10, 0, 0, 1)});
  unsigned char address[4] = {0, 0, 0, 0};
  EXPECT_EQ(Address, FindAddressAnswer(r.data(), r.size(), address));
  EXPECT_EQ(10, address[0]);
  EXPECT_EQ(1, address[3]);
  EXPECT_TRUE(Alias(r));
}

TEST(Answers, AliasFoundAfterOtherRecords) {
  Bytes r = MakeReply(
      7, 0, QName, {ARecord(1, 1, 1, 1), ARecord(2, 2, 2, 2, 3), CnameRecord("abc.example.net")});
  EXPECT_TRUE(Alias(r));
  Bytes onlyA = MakeReply(7, 0, QName, {ARecord(1, 1, 1, 1), ARecord(2, 2, 2, 2)});
  EXPECT_FALSE(Alias(onlyA));
  TestRecord cnameOtherClass = CnameRecord("abc.example.net");
  cnameOtherClass.cls = 3;
  EXPECT_FALSE(Alias(MakeReply(7, 0, QName, {cnameOtherClass})));
}

TEST(Answers, FirstAInDecidesEvenWhenItIsZero) {
  Bytes r = MakeReply(7, 0, QName, {ARecord(0, 0, 0, 0), ARecord(8, 8, 8, 8)});
  EXPECT_EQ(NoAddress, Find(r));
  Bytes partlyZero = MakeReply(7, 0, QName, {ARecord(0, 0, 0, 1)});
  EXPECT_EQ(Address, Find(partlyZero));
}

TEST(Answers, AOfAnotherClassIsSteppedOver) {
  Bytes r = MakeReply(7, 0, QName, {ARecord(9, 9, 9, 9, 3), ARecord(5, 6, 7, 8)});
  unsigned char address[4] = {0, 0, 0, 0};
  EXPECT_EQ(Address, FindAddressAnswer(r.data(), r.size(), address));
  EXPECT_EQ(5, address[0]);
  EXPECT_EQ(NoAddress, Find(MakeReply(7, 0, QName, {ARecord(9, 9, 9, 9, 3)})));
}

TEST(Answers, AddressIsReadWhateverRdlengthSays) {
  TestRecord a = ARecord(1, 2, 3, 4);
  a.rdata.push_back(0xEE);  // RDLENGTH 5
  EXPECT_EQ(Address, Find(MakeReply(7, 0, QName, {a})));
}

TEST(OwnerNames, ByteThreeMeansUncompressedAnythingElseAPointer) {
  // Owner "abc.example.com" in full: stepped over to its zero byte.
  Bytes full =
      MakeReply(7, 0, QName, {CnameRecord("abc.x.net", QName), ARecord(4, 3, 2, 1, 1, QName)});
  EXPECT_EQ(Address, Find(full));
  EXPECT_TRUE(Alias(full));

  // Owner "www.x.com" begins with 3 too; "mail.x.com" begins with 4, so it
  // is taken as a two-byte pointer and the walk lands inside the name.
  Bytes four = MakeReply(7, 0, QName, {ARecord(4, 3, 2, 1, 1, "mail.x.com")});
  // TYPE is then read from "ai" (0x6169): not an A record.
  EXPECT_EQ(NoAddress, Find(four));
  Bytes three = MakeReply(7, 0, QName, {ARecord(4, 3, 2, 1, 1, "www.x.com")});
  EXPECT_EQ(Address, Find(three));
}

// The outcome of a reply cut after `cut` bytes is not-found up to the
// last byte the walk needs and the whole reply's outcome from there on;
// the walkers see the real tail beyond the cut, so reading past `length`
// would show up as an early verdict even without a sanitizer.
struct Walk {
  const char* name;
  Bytes reply;
  std::size_t needForAddress;  // bytes FindAddressAnswer must see
  std::size_t needForAlias;    // bytes HasAliasAnswer must see (0: never true)
};

std::vector<Walk> WalkCases() {
  const std::size_t q = 12 + LabelForm(QName).size() + 4;
  std::vector<Walk> cases;
  Bytes a = MakeReply(1, 0, QName, {ARecord(1, 2, 3, 4)});
  cases.push_back({"A", a, a.size(), 0});
  Bytes ca = MakeReply(1, 0, QName, {CnameRecord("abc.cdn.net"), ARecord(1, 2, 3, 4)});
  cases.push_back({"CNAME then A", ca, ca.size(), q + 2 + 10});
  Bytes full =
      MakeReply(1, 0, QName, {CnameRecord("abc.cdn.net", QName), ARecord(1, 2, 3, 4, 1, QName)});
  cases.push_back({"uncompressed owners", full, full.size(), q + LabelForm(QName).size() + 10});
  return cases;
}

TEST(Truncation, EveryCutGivesNotFoundOrTheWholeOutcome) {
  for (const Walk& w : WalkCases()) {
    for (std::size_t cut = 0; cut <= w.reply.size(); ++cut) {
      AddressOutcome expected = cut >= w.needForAddress ? Address : NoAddress;
      EXPECT_EQ(expected, FindAddressAnswer(w.reply.data(), cut)) << w.name << " cut " << cut;
      EXPECT_EQ(expected, Find(w.reply, cut)) << w.name << " cut " << cut;
      bool alias = w.needForAlias != 0 && cut >= w.needForAlias;
      EXPECT_EQ(alias, HasAliasAnswer(w.reply.data(), cut)) << w.name << " cut " << cut;
      EXPECT_EQ(alias, Alias(w.reply, cut)) << w.name << " cut " << cut;
    }
  }
}

TEST(Truncation, CountsAndLengthsThatPointOutsideTheDatagram) {
  // ANCOUNT far larger than the records present.
  Bytes many = MakeReply(1, 0, QName, {ARecord(1, 1, 1, 1, 3)}, 65535);
  EXPECT_EQ(NoAddress, Find(many));
  EXPECT_FALSE(Alias(many));

  // RDLENGTH that jumps past the end.
  Bytes jump = MakeReply(1, 0, QName, {ARecord(1, 1, 1, 1, 3), ARecord(2, 2, 2, 2)});
  std::size_t rdlengthAt = 12 + LabelForm(QName).size() + 4 + 2 + 8;
  jump[rdlengthAt] = 0xFF;
  jump[rdlengthAt + 1] = 0xFF;
  EXPECT_EQ(NoAddress, Find(jump));

  // Question name without its zero byte.
  Bytes noZero(40, 'a');
  noZero[3] = 0;
  noZero[6] = 0;
  noZero[7] = 1;
  EXPECT_EQ(NoAddress, Find(noZero));
  EXPECT_FALSE(Alias(noZero));

  // An uncompressed owner name that never ends.
  Bytes owner = MakeReply(1, 0, QName, {});
  owner[7] = 1;
  owner.push_back(3);
  owner.insert(owner.end(), 20, 'z');
  EXPECT_EQ(NoAddress, Find(owner));
  EXPECT_FALSE(Alias(owner));

  // Header shorter than twelve bytes.
  Bytes shortHeader = MakeReply(1, 0, QName, {ARecord(1, 1, 1, 1)});
  EXPECT_EQ(NoAddress, Find(shortHeader, 11));
}

}  // namespace
