#include "reply_builder.h"

namespace {
void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v >> 8));
  b.push_back(static_cast<unsigned char>(v));
}
}  // namespace

Bytes LabelForm(const std::string& name) {
  Bytes out;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<unsigned char>(dot - start));
    out.insert(out.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

TestRecord ARecord(unsigned a, unsigned b, unsigned c, unsigned d, unsigned cls,
                   const std::string& owner) {
  TestRecord r{owner, 1, cls, Bytes()};
  r.rdata = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
             static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
  return r;
}

TestRecord CnameRecord(const std::string& target, const std::string& owner) {
  return TestRecord{owner, 5, 1, LabelForm(target)};
}

Bytes MakeReply(std::uint16_t id, unsigned rcode, const std::string& qname,
                const std::vector<TestRecord>& answers, int ancount) {
  Bytes b;
  Put16(b, id);
  b.push_back(0x81);                                               // QR, RD
  b.push_back(static_cast<unsigned char>(0x80 | (rcode & 0x0F)));  // RA, RCODE
  Put16(b, 1);
  Put16(b, ancount < 0 ? static_cast<unsigned>(answers.size()) : static_cast<unsigned>(ancount));
  Put16(b, 0);
  Put16(b, 0);
  Bytes q = LabelForm(qname);
  b.insert(b.end(), q.begin(), q.end());
  Put16(b, 1);
  Put16(b, 1);
  for (const TestRecord& r : answers) {
    if (r.owner.empty()) {
      b.push_back(0xC0);
      b.push_back(0x0C);
    } else {
      Bytes o = LabelForm(r.owner);
      b.insert(b.end(), o.begin(), o.end());
    }
    Put16(b, r.type);
    Put16(b, r.cls);
    Put16(b, 0);
    Put16(b, 300);  // TTL
    Put16(b, static_cast<unsigned>(r.rdata.size()));
    b.insert(b.end(), r.rdata.begin(), r.rdata.end());
  }
  return b;
}
