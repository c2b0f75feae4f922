// Query building and reply walking. The walkers follow the server's counts
// and lengths, but a reply may lie about all of them: every read is
// preceded by a test against what remains of `length`, and a walk that
// would leave the datagram gives the not-found outcome.
#include "dns_message.h"

std::atomic<std::uint32_t> QueryIdCounter(0);

namespace {

// Header fields, as offsets into the message (RFC 1035 section 4.1.1).
const std::size_t IdAt = 0;
const std::size_t FlagsAt = 2;
const std::size_t RcodeByteAt = 3;  // low four bits
const std::size_t QdcountAt = 4;
const std::size_t AncountAt = 6;
const std::size_t HeaderSize = 12;
const unsigned RecursionDesired = 0x0100;
const unsigned RcodeMask = 0x0F;
const unsigned RcodeRefused = 5;
// QTYPE and QCLASS after the question name.
const std::size_t QuestionTailSize = 4;

// Fields of a resource record, as offsets from its TYPE, which follows
// the owner name (section 4.1.3).
const std::size_t TypeAt = 0;
const std::size_t ClassAt = 2;
const std::size_t RdlengthAt = 8;
const std::size_t RecordFixedSize = 10;  // TYPE, CLASS, TTL, RDLENGTH
const std::size_t Ipv4Length = 4;

const unsigned TypeA = 1;
const unsigned TypeCname = 5;
const unsigned ClassIn = 1;
// Both query names begin with a three-character label, so an owner name
// that repeats one of them uncompressed begins with this byte.
const unsigned char UncompressedOwnerMark = 3;
const std::size_t PointerSize = 2;

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

// Locates the TYPE field of the record whose owner name starts at `pos`;
// false when the owner name or the fixed fields run past `length`.
// On true, the fixed fields lie wholly within the datagram.
bool LocateRecord(const unsigned char* reply, std::size_t length, std::size_t pos,
                  std::size_t* typeAt) {
  if (pos >= length) return false;
  std::size_t ownerSize = PointerSize;
  if (reply[pos] == UncompressedOwnerMark) {
    std::size_t ownerLength;
    if (!MeasureString(reply, length, pos, &ownerLength)) return false;
    ownerSize = ownerLength + 1;
  }
  if (ownerSize > length - pos || RecordFixedSize > length - pos - ownerSize) return false;
  *typeAt = pos + ownerSize;
  return true;
}

// From the record whose TYPE is at `typeAt` to the owner name of the next;
// false when the record's data would reach past `length`.
bool StepPastRecord(const unsigned char* reply, std::size_t length, std::size_t typeAt,
                    std::size_t* next) {
  std::size_t dataAt = typeAt + RecordFixedSize;
  std::size_t dataLength = ReadU16(reply + typeAt + RdlengthAt);
  if (dataLength > length - dataAt) return false;
  *next = dataAt + dataLength;
  return true;
}

enum Search { SearchRefused, SearchNotFound, SearchFound };

// What both walkers do: refusal first, then the answer records in order
// until the first of `type` in class IN, whose TYPE position is `typeAt`.
Search FindAnswer(const unsigned char* reply, std::size_t length, unsigned type,
                  std::size_t* typeAt) {
  if (length <= RcodeByteAt) return SearchNotFound;
  if ((reply[RcodeByteAt] & RcodeMask) == RcodeRefused) return SearchRefused;
  if (length < HeaderSize) return SearchNotFound;
  unsigned count = ReadU16(reply + AncountAt);
  std::size_t nameLength;
  if (!MeasureString(reply, length, HeaderSize, &nameLength)) return SearchNotFound;
  // The name's zero byte is at HeaderSize + nameLength, within `length`.
  std::size_t pos = HeaderSize + nameLength + 1 + QuestionTailSize;
  for (unsigned i = 0; i < count; ++i) {
    std::size_t t;
    if (!LocateRecord(reply, length, pos, &t)) return SearchNotFound;
    if (ReadU16(reply + t + TypeAt) == type && ReadU16(reply + t + ClassAt) == ClassIn) {
      *typeAt = t;
      return SearchFound;
    }
    if (!StepPastRecord(reply, length, t, &pos)) return SearchNotFound;
  }
  return SearchNotFound;
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
  WriteU16(buffer + IdAt, id & 0xFFFF);
  WriteU16(buffer + FlagsAt, RecursionDesired);
  WriteU16(buffer + QdcountAt, 1);
  // No answer, authority or additional records.
  for (std::size_t at = AncountAt; at < HeaderSize; at += 2) WriteU16(buffer + at, 0);
  std::size_t length = HeaderSize + EncodeName(buffer + HeaderSize, name);
  WriteU16(buffer + length, TypeA);
  WriteU16(buffer + length + 2, ClassIn);
  return length + QuestionTailSize;
}

AddressOutcome FindAddressAnswer(const unsigned char* reply, std::size_t length,
                                 unsigned char* address) {
  std::size_t t = 0;
  switch (FindAnswer(reply, length, TypeA, &t)) {
    case SearchRefused: return Refused;
    case SearchNotFound: return NoAddress;
    case SearchFound: break;
  }
  // The four bytes are read whatever RDLENGTH claims, but never beyond
  // the datagram.
  std::size_t at = t + RecordFixedSize;
  if (Ipv4Length > length - at) return NoAddress;
  const unsigned char* a = reply + at;
  if ((a[0] | a[1] | a[2] | a[3]) == 0) return NoAddress;
  if (address != nullptr) {
    for (std::size_t k = 0; k < Ipv4Length; ++k) address[k] = a[k];
  }
  return Address;
}

bool HasAliasAnswer(const unsigned char* reply, std::size_t length) {
  std::size_t t = 0;
  return FindAnswer(reply, length, TypeCname, &t) != SearchNotFound;
}
