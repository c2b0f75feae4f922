// How often a list whose bytes read both as GBK and as UTF-8 is read in
// the encoding it was written in, on lists generated from a seed out of
// the words people write (tests/list_maker.cpp): by kind of word and by
// encoding. Lists whose bytes only one encoding reads are counted apart;
// they cannot be misread.
//   list_reading_bench [lists]   (default 3000, each kept in every encoding that holds it)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "figure.h"
#include "list_maker.h"
#include "serverlist/list_encoding.h"
#include "serverlist/list_text.h"
#include "text_files.h"

namespace {

struct Tally {
  int lists = 0;
  int apart = 0;  // both readings valid
  int right = 0;  // of those, read in the encoding written
};

// Whether the rows of `file` read validly in the encoding it is not in.
bool ReadsBothWays(const std::string& file, MadeEncoding encoding) {
  std::string body = file.substr(file.find('\n') + 1);
  if (encoding == MadeGbk) return KindOfUtf8(body.data(), body.size()) == BeyondAscii;
  if (KindOfUtf8(body.data(), body.size()) != BeyondAscii) return false;
  int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, body.data(), static_cast<int>(body.size()),
                              nullptr, 0);
  return n > 0;
}

// Reads `list` kept in each encoding that holds it, into the tallies of
// its kind and of all lists.
bool ReadEveryWay(const MadeList& list, const std::string& path, const char* suffix,
                  std::map<std::string, Tally>* tallies, Tally* all,
                  MadeEncoding only = MadeUtf8WithMark) {
  for (MadeEncoding encoding : {MadeGbk, MadeUtf8}) {
    if ((encoding == MadeGbk && !list.inGbk) || (only != MadeUtf8WithMark && encoding != only))
      continue;
    std::string file = ListFile(list, encoding);
    if (!WriteBytes(path, file)) return Fail("cannot write %s", path.c_str());
    ListReading reading = ReadListFile(path.c_str(), "DNSList");
    if (reading.rows != nullptr) LocalFree(reading.rows);
    bool right = (reading.encoding == CodePageFile) == (encoding == MadeGbk);
    std::string key =
        std::string(list.kind) + (encoding == MadeGbk ? " / GBK" : " / UTF-8") + suffix;
    bool apart = ReadsBothWays(file, encoding);
    for (Tally* t : {&(*tallies)[key], all}) {
      ++t->lists;
      t->apart += apart;
      t->right += apart && right;
    }
    if (apart && !right) {
      std::printf("misread (%s):", key.c_str());
      for (const auto& row : list.rows) std::printf(" %s |", row.second.c_str());
      std::printf("\n");
    }
  }
  return true;
}

std::string Utf8(wchar_t c) {
  char text[8] = {};
  WideCharToMultiByte(CP_UTF8, 0, &c, 1, text, sizeof text, nullptr, nullptr);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 3000;
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  std::string path = std::string(folder) + "list_reading_bench.ini";
  std::map<std::string, Tally> tallies;
  Tally all;
  // Every word alone: the shortest lists are the likeliest to read both ways.
  for (const WordKind& kind : WordKinds()) {
    for (const std::string& word : kind.words) {
      MadeList list = {kind.name, FitsGbk(word), {{"127.0.0.1", word}}};
      if (!ReadEveryWay(list, path, " (one word)", &tallies, &all)) return 1;
    }
  }
  // Every hanzi of code page 936 whose bytes are also UTF-8, alone; and
  // pairs of common hanzi in UTF-8, whose bytes are mostly also GBK.
  std::vector<std::string> common, alsoUtf8;
  // GB2312 hanzi by the UTF-8 role their two bytes can take: a lead of
  // three bytes and a continuation; a continuation and such a lead; two
  // continuations. One of each makes six bytes of two UTF-8 hanzi.
  std::vector<std::string> leadFirst, leadSecond, noLead;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      char gbk[3] = {static_cast<char>(lead), static_cast<char>(trail), 0};
      wchar_t c = 0;
      if (MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, gbk, 2, &c, 1) != 1) continue;
      if (c < 0x4E00 || c > 0x9FFF) continue;
      bool gb2312 = trail >= 0xA1 && lead >= 0xB0 && lead <= 0xF7;
      if (gb2312 && lead <= 0xD7) common.push_back(Utf8(c));
      bool continuesFirst = lead >= 0x80 && lead <= 0xBF, continuesSecond = trail <= 0xBF;
      if (gb2312 && lead >= 0xE0 && lead <= 0xEF && continuesSecond) leadFirst.push_back(Utf8(c));
      if (gb2312 && continuesFirst && trail >= 0xE0 && trail <= 0xEF) leadSecond.push_back(Utf8(c));
      if (gb2312 && continuesFirst && continuesSecond) noLead.push_back(Utf8(c));
      if (KindOfUtf8(gbk, 2) != BeyondAscii) continue;
      alsoUtf8.push_back(Utf8(c));
      const char* kind = !gb2312 ? "GBK-only hanzi" : lead <= 0xD7 ? "common hanzi" : "rarer hanzi";
      MadeList list = {kind, true, {{"127.0.0.1", Utf8(c)}}};
      if (!ReadEveryWay(list, path, " (alone)", &tallies, &all, MadeGbk)) return 1;
    }
  }
  std::mt19937 random(2026);
  for (int i = 0; i < count; ++i) {
    std::string pair = common[random() % common.size()] + common[random() % common.size()];
    MadeList list = {"two common hanzi", true, {{"127.0.0.1", pair}}};
    if (!ReadEveryWay(list, path, "", &tallies, &all, MadeUtf8)) return 1;
    pair = alsoUtf8[random() % alsoUtf8.size()] + alsoUtf8[random() % alsoUtf8.size()];
    list = {"two hanzi whose GBK is UTF-8", true, {{"127.0.0.1", pair}}};
    if (!ReadEveryWay(list, path, "", &tallies, &all, MadeGbk)) return 1;
    std::string three = leadFirst[random() % leadFirst.size()] +
                        leadSecond[random() % leadSecond.size()] + noLead[random() % noLead.size()];
    list = {"three GB2312 hanzi whose GBK is UTF-8", true, {{"127.0.0.1", three}}};
    if (!ReadEveryWay(list, path, "", &tallies, &all, MadeGbk)) return 1;
  }
  for (int i = 0; i < count; ++i) {
    if (!ReadEveryWay(MakeList(random), path, "", &tallies, &all)) return 1;
  }
  DeleteFileA(path.c_str());
  std::printf("\n%-45s %6s %10s %11s\n", "kind / written in", "lists", "both ways", "read right");
  for (const auto& [key, t] : tallies)
    std::printf("%-45s %6d %10d %10.2f%%\n", key.c_str(), t.lists, t.apart,
                t.apart > 0 ? 100.0 * t.right / t.apart : 100.0);
  double right = 100.0 * all.right / (all.apart > 0 ? all.apart : 1);
  std::printf("%-45s %6d %10d %10.2f%%\n\n", "all", all.lists, all.apart, right);
  Figure("list.reading.right", right, "%");
  return 0;
}
