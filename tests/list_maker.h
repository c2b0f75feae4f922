// Lists as people write them, generated from a seed: locations made of
// the words people write, kept in GBK or UTF-8, as the list tests and the
// reading benchmark use them.
#ifndef DNSCHECK_TESTS_LIST_MAKER_H
#define DNSCHECK_TESTS_LIST_MAKER_H

#include <random>
#include <string>
#include <utility>
#include <vector>

struct WordKind {
  const char* name;
  std::vector<std::string> words;
};
const std::vector<WordKind>& WordKinds();

enum MadeEncoding { MadeGbk, MadeUtf8, MadeUtf8WithMark };

struct MadeList {
  // The kind of its words; a list may add ASCII words to them.
  const char* kind;
  // Whether code page 936 holds every word, so that the list can be kept
  // in GBK too.
  bool inGbk;
  // Address and location, as UTF-8.
  std::vector<std::pair<std::string, std::string>> rows;
};

MadeList MakeList(std::mt19937& random);

// Whether code page 936 holds every character of a UTF-8 text.
bool FitsGbk(const std::string& utf8);

// The list file in the tool's own layout, in `encoding`.
std::string ListFile(const MadeList& list, MadeEncoding encoding);

#endif
