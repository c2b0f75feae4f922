// Query building and reply walking. The walkers follow the server's counts
// and lengths, but a reply may lie about all of them: every read is
// preceded by a test against what remains of `length`, and a walk that
// would leave the datagram gives the not-found outcome.
#include "dns_message.h"

std::atomic<std::uint32_t> QueryIdCounter(0);

namespace {

const std::size_t HeaderSize = 12;
const std::size_t RecordFixedSize = 10;  // TYPE, CLASS, TTL, RDLENGTH
const unsigned RcodeRefused = 5;
const unsigned TypeA = 1;
const unsigned TypeCname = 5;
const unsigned ClassIn = 1;
// Both query names begin with a three-character label, so an owner name
// that repeats one of them uncompressed begins with this byte.
const unsigned char UncompressedOwnerMark = 3;

unsigned ReadU16(const unsigned char* p) { return (unsigned(p[0]) << 8) | p[1]; }

void WriteU16(unsigned char* p, unsigned value) {
  p[0] = static_cast<unsigned char>(value >> 8);
  p[1] = static_cast<unsigned char>(value);
}

// Finds the zero byte of the string at `pos`; false when none lies
// before `length`. `stringLength` excludes the zero.
bool MeasureString(const unsigned char* reply, std::size_t length, std::size_t pos,
                   std::size_t* stringLength) {
  for (std::size_t i = pos; i < length; ++i) {
    if (reply[i] == 0) {
      *stringLength = i - pos;
      return true;
    }
  }
  return false;
}

enum WalkStart { WalkRefused, WalkNotFound, WalkAnswers };

// The steps both walkers share: refusal first, then an empty answer
// section, then the position of the first answer record.
WalkStart BeginWalk(const unsigned char* reply, std::size_t length, std::size_t* first,
                    unsigned* answerCount) {
  if (length < 4) return WalkNotFound;
  if ((reply[3] & 0x0F) == RcodeRefused) return WalkRefused;
  if (length < HeaderSize) return WalkNotFound;
  *answerCount = ReadU16(reply + 6);
  if (*answerCount == 0) return WalkNotFound;
  std::size_t nameLength;
  if (!MeasureString(reply, length, HeaderSize, &nameLength)) return WalkNotFound;
  *first = HeaderSize + nameLength + 5;  // the name's zero byte, QTYPE, QCLASS
  return WalkAnswers;
}

// Locates the TYPE field of the record whose owner name starts at `pos`;
// false when the owner name or the fixed fields run past `length`.
bool LocateRecord(const unsigned char* reply, std::size_t length, std::size_t pos,
                  std::size_t* typeAt) {
  if (pos >= length) return false;
  std::size_t t;
  if (reply[pos] == UncompressedOwnerMark) {
    std::size_t ownerLength;
    if (!MeasureString(reply, length, pos, &ownerLength)) return false;
    t = pos + ownerLength + 1;
  } else {
    t = pos + 2;  // taken as a compression pointer
  }
  if (t > length || RecordFixedSize > length - t) return false;
  *typeAt = t;
  return true;
}

}  // namespace

std::size_t EncodeName(unsigned char* out, const char* name) {
  std::size_t lengthAt = 0;
  std::size_t written = 1;
  unsigned labelLength = 0;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '.') {
      out[lengthAt] = static_cast<unsigned char>(labelLength);
      lengthAt = written++;
      labelLength = 0;
    } else {
      out[written++] = static_cast<unsigned char>(*c);
      ++labelLength;
    }
  }
  out[lengthAt] = static_cast<unsigned char>(labelLength);
  out[written++] = 0;
  return written;
}

std::size_t BuildQuery(unsigned char* buffer, const char* name) {
  std::uint32_t id = QueryIdCounter.fetch_add(1);
  WriteU16(buffer, id & 0xFFFF);
  buffer[2] = 0x01;  // RD: ask the server to recurse
  buffer[3] = 0x00;
  WriteU16(buffer + 4, 1);  // QDCOUNT
  WriteU16(buffer + 6, 0);
  WriteU16(buffer + 8, 0);
  WriteU16(buffer + 10, 0);
  std::size_t length = HeaderSize + EncodeName(buffer + HeaderSize, name);
  WriteU16(buffer + length, TypeA);
  WriteU16(buffer + length + 2, ClassIn);
  return length + 4;
}

AddressOutcome FindAddressAnswer(const unsigned char* reply, std::size_t length,
                                 unsigned char* address) {
  std::size_t p = 0;
  unsigned count = 0;
  switch (BeginWalk(reply, length, &p, &count)) {
    case WalkRefused: return Refused;
    case WalkNotFound: return NoAddress;
    case WalkAnswers: break;
  }
  for (unsigned i = 0; i < count; ++i) {
    std::size_t t;
    if (!LocateRecord(reply, length, p, &t)) return NoAddress;
    if (ReadU16(reply + t) == TypeA && ReadU16(reply + t + 2) == ClassIn) {
      // The four bytes are read whatever RDLENGTH claims, but never
      // beyond the datagram.
      std::size_t at = t + RecordFixedSize;
      if (4 > length - at) return NoAddress;
      const unsigned char* a = reply + at;
      if ((a[0] | a[1] | a[2] | a[3]) == 0) return NoAddress;
      if (address != nullptr) {
        for (int k = 0; k < 4; ++k) address[k] = a[k];
      }
      return Address;
    }
    p = t + RecordFixedSize + ReadU16(reply + t + 8);
  }
  return NoAddress;
}

bool HasAliasAnswer(const unsigned char* reply, std::size_t length) {
  std::size_t p = 0;
  unsigned count = 0;
  switch (BeginWalk(reply, length, &p, &count)) {
    case WalkRefused: return true;
    case WalkNotFound: return false;
    case WalkAnswers: break;
  }
  for (unsigned i = 0; i < count; ++i) {
    std::size_t t;
    if (!LocateRecord(reply, length, p, &t)) return false;
    if (ReadU16(reply + t) == TypeCname && ReadU16(reply + t + 2) == ClassIn) return true;
    p = t + RecordFixedSize + ReadU16(reply + t + 8);
  }
  return false;
}
