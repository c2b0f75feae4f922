// Drives the list file's byte-level reading with arbitrary files, each
// read as UTF-8 and as GBK, whose lead bytes may hide a ']'. The file is
// copied into an exactly sized buffer so that any read past it is
// reported. Beyond memory safety it checks what a save relies on: the
// rows, written back as the tool writes a section, read back as the same
// rows.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serverlist/list_text.h"

namespace {

std::string Rows(const std::string& file, const bool* leadBytes) {
  std::vector<char> bytes(file.begin(), file.end());
  std::vector<char> rows(file.size() + 2, 'x');
  std::size_t used = SectionRows(bytes.data(), bytes.size(), "DNSList", leadBytes, rows.data());
  if (used + 1 > rows.size() || rows[used] != '\0') __builtin_trap();
  return std::string(rows.data(), used);
}

// Every step stays within the text, and the text is UTF-8 just when no
// step found a byte that starts no sequence.
void CheckUtf8(const std::uint8_t* data, std::size_t size) {
  bool valid = true;
  for (std::size_t at = 0, length = 0; at < size; at += length) {
    valid = NextCodePoint(data, size, at, &length) != NoCodePoint && valid;
    if (length == 0 || length > size - at) __builtin_trap();
  }
  if (valid != (KindOfUtf8(reinterpret_cast<const char*>(data), size) != NotUtf8)) __builtin_trap();
}

void CheckRowsReadBack(const std::string& file, const bool* leadBytes) {
  std::string rows = Rows(file, leadBytes);
  std::string written = "[DNSList]\r\n";
  for (std::size_t at = 0; at < rows.size(); at = rows.find('\0', at) + 1) {
    std::string row = rows.substr(at, rows.find('\0', at) - at);
    if (row.empty() || IsBlank(row.front()) || IsBlank(row.back()) || row.front() == ';' ||
        row.front() == '=' || row.find_first_of("\r\n") != std::string::npos)
      __builtin_trap();
    written += row + "\r\n";
  }
  if (Rows(written, leadBytes) != rows) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> copy(data, data + size);
  CheckUtf8(copy.data(), copy.size());
  bool gbk[256] = {};
  for (int b = 0x81; b <= 0xFE; ++b) gbk[b] = true;
  std::string file(data, data + size);
  CheckRowsReadBack(file, nullptr);
  CheckRowsReadBack(file, gbk);
  return 0;
}
