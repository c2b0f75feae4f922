#include "serverlist/list_text.h"

namespace {

// Whether the text between `from` and `to` names `section`, case aside.
bool NamesSection(const char* from, const char* to, const char* section) {
  while (from < to && IsBlank(*from)) ++from;
  while (to > from && IsBlank(to[-1])) --to;
  std::size_t length = 0;
  while (section[length] != '\0') ++length;
  if (static_cast<std::size_t>(to - from) != length) return false;
  // The name is all letters, for which setting 0x20 folds the case.
  for (std::size_t i = 0; i < length; ++i)
    if ((from[i] | 0x20) != (section[i] | 0x20)) return false;
  return true;
}

// The last ']' of the line from `from` to `to` that is a character of
// its own, or `to`: the profile functions read a section's name up to it.
const char* SectionEnd(const char* from, const char* to, const bool* leadBytes) {
  const char* end = to;
  while (from < to) {
    if (*from == ']') end = from;
    bool pair = leadBytes != nullptr && leadBytes[static_cast<unsigned char>(*from)];
    from += pair && to - from >= 2 ? 2 : 1;
  }
  return end;
}

// Appends the entry of the line from `from` to `to` (blanks trimmed off
// both ends), with the blanks around its first '=' dropped; false when it
// names no server.
bool AppendRow(const char* from, const char* to, char* rows, std::size_t* used) {
  const char* equals = from;
  while (equals < to && *equals != '=') ++equals;
  const char* keyEnd = equals;
  while (keyEnd > from && IsBlank(keyEnd[-1])) --keyEnd;
  if (keyEnd == from) return false;
  char* out = rows + *used;
  for (const char* c = from; c < keyEnd; ++c) *out++ = *c;
  if (equals < to) {
    const char* value = equals + 1;
    while (value < to && IsBlank(*value)) ++value;
    *out++ = '=';
    for (const char* c = value; c < to; ++c) *out++ = *c;
  }
  *out++ = '\0';
  *used = static_cast<std::size_t>(out - rows);
  return true;
}

}  // namespace

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n' || c == 0x1A;
}

bool SameBytes(const void* a, const void* b, std::size_t size) {
  const char* x = static_cast<const char*>(a);
  const char* y = static_cast<const char*>(b);
  for (std::size_t i = 0; i < size; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

unsigned long NextCodePoint(const unsigned char* text, std::size_t size, std::size_t at,
                            std::size_t* length) {
  unsigned long lead = text[at];
  *length = 1;
  if (lead < 0x80) return lead;
  std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  const unsigned long least[] = {0, 0x80, 0x800, 0x10000};
  if (lead < 0xC2 || lead > 0xF4 || extra > size - at - 1) return NoCodePoint;
  unsigned long point = lead & (0x3Fu >> extra);
  for (std::size_t i = 1; i <= extra; ++i) {
    if ((text[at + i] & 0xC0) != 0x80) return NoCodePoint;
    point = point << 6 | (text[at + i] & 0x3Fu);
  }
  if (point < least[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
    return NoCodePoint;
  *length = extra + 1;
  return point;
}

Utf8Kind KindOfUtf8(const char* text, std::size_t size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  Utf8Kind kind = AsciiOnly;
  for (std::size_t at = 0, length = 0; at < size; at += length) {
    unsigned long point = NextCodePoint(bytes, size, at, &length);
    if (point == NoCodePoint) return NotUtf8;
    if (point >= 0x80) kind = BeyondAscii;
  }
  return kind;
}

// Each line takes at most its own bytes and the zero that stands for its
// line end, so the block never needs more room than the file and two
// zeros: one for a last line without a line end, one to end the block.
std::size_t SectionRows(const char* bytes, std::size_t size, const char* section,
                        const bool* leadBytes, char* rows) {
  std::size_t used = 0;
  bool inSection = false;
  for (std::size_t at = 0; at < size;) {
    std::size_t from = at, to = at;
    while (to < size && bytes[to] != '\r' && bytes[to] != '\n' && bytes[to] != '\0') ++to;
    at = to;
    while (at < size && bytes[at] != '\r' && bytes[at] != '\n') ++at;
    ++at;
    while (from < to && IsBlank(bytes[from])) ++from;
    while (to > from && IsBlank(bytes[to - 1])) --to;
    if (from == to || bytes[from] == ';') continue;
    const char* close = SectionEnd(bytes + from, bytes + to, leadBytes);
    if (bytes[from] == '[' && close < bytes + to) {
      if (inSection) break;
      inSection = NamesSection(bytes + from + 1, close, section);
      continue;
    }
    if (inSection) AppendRow(bytes + from, bytes + to, rows, &used);
  }
  rows[used] = '\0';
  return used;
}
