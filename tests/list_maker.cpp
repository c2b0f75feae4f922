#include "list_maker.h"

#include <windows.h>

#include <cstdio>

#include "list_words.h"
#include "text_files.h"

MadeList MakeList(std::mt19937& random) {
  const std::vector<WordKind>& kinds = WordKinds();
  const WordKind& kind = kinds[random() % kinds.size()];
  const WordKind& ascii = kinds.back();
  MadeList list = {kind.name, true, {}};
  int rows = 1 + static_cast<int>(random() % 6);
  for (int r = 0; r < rows; ++r) {
    std::string location;
    int words = 1 + static_cast<int>(random() % 3);
    for (int w = 0; w < words; ++w) {
      // Now and then an English word among the others, as in "阿里云 AliDNS".
      const WordKind& from = random() % 5 == 0 ? ascii : kind;
      if (w > 0 && random() % 3 != 0) location += ' ';
      location += from.words[random() % from.words.size()];
    }
    char address[32];
    std::snprintf(address, sizeof address, "127.0.%u.%d", static_cast<unsigned>(random() % 256),
                  r + 1);
    list.inGbk = list.inGbk && FitsGbk(location);
    list.rows.emplace_back(address, location);
  }
  return list;
}

bool FitsGbk(const std::string& utf8) {
  std::wstring wide(utf8.size() + 1, L'\0');
  int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
  BOOL lossy = FALSE;
  char gbk[1024];
  return n > 0 &&
         WideCharToMultiByte(936, 0, wide.c_str(), n, gbk, sizeof gbk, nullptr, &lossy) > 0 &&
         !lossy;
}

std::string ListFile(const MadeList& list, MadeEncoding encoding,
                     const std::vector<size_t>& order) {
  std::string text = encoding == MadeUtf8WithMark ? "\xEF\xBB\xBF[DNSList]\r\n" : "[DNSList]\r\n";
  for (size_t i = 0; i < list.rows.size(); ++i) {
    const auto& row = list.rows[order.empty() ? i : order[i]];
    text += row.first + "=" + (encoding == MadeGbk ? Gbk(row.second.c_str()) : row.second) + "\r\n";
  }
  return text;
}
