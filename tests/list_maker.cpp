#include "list_maker.h"

#include <windows.h>

#include <cstdio>

#include "text_files.h"

namespace {

// Words people put in the locations of their lists, by kind, as UTF-8,
// each kind's words parted by '|'.
const struct {
  const char* name;
  const char* words;
} Words[] = {
    {"simplified",
     "北京|上海|天津|重庆|广州|深圳|杭州|南京|苏州|成都|武汉|"
     "西安|长沙|郑州|济南|青岛|大连|沈阳|哈尔滨|长春|石家庄|"
     "太原|合肥|福州|厦门|南昌|南宁|海口|贵阳|昆明|拉萨|兰州|"
     "西宁|银川|乌鲁木齐|呼和浩特|宁波|温州|无锡|佛山|东莞|"
     "珠海|汕头|桂林|三亚|洛阳|绵阳|泉州|眉山|乐山|遵义|大理|"
     "丽江|喀什|日喀则|鄂尔多斯|江苏|浙江|广东|四川|湖南|"
     "黑龙江|内蒙古|新疆|电信|联通|移动|铁通|教育网|广电|"
     "长城宽带|鹏博士|阿里云|腾讯云|百度|华为云|公共DNS|任播|"
     "仅本网用户|免费版限速|备用|主|小|中国互联网络信息中心|"
     "清华大学|楠溪江|亳州|衢州"},
    {"traditional",
     "臺北|台北|新北|桃園|臺中|臺南|高雄|基隆|新竹|嘉義|屏東|"
     "宜蘭|花蓮|臺東|澎湖|金門|香港|九龍|新界|澳門|灣仔|銅鑼灣|"
     "旺角|尖沙咀|將軍澳|荃灣|沙田|屯門|觀塘|中環|中華電信|"
     "遠傳電信|台灣大哥大|亞太電信|和記|電訊盈科|香港寬頻|"
     "數碼通|澳門電訊|國立臺灣大學|學術網路|網際網路|伺服器|"
     "藝術|螢光|藝|螢|機房|備援|雲端|節點|線路"},
    {"accented Latin",
     "Zürich|Genève|Montréal|Québec|São Paulo|Bogotá|Medellín|México|Mérida|"
     "Málaga|Córdoba|Cádiz|León|Göteborg|Malmö|Köln|München|Düsseldorf|"
     "Nürnberg|Würzburg|Århus|Tromsø|Reykjavík|Kraków|Łódź|Gdańsk|Poznań|"
     "Wrocław|Plzeň|Besançon|Orléans|Nîmes|Saint-Étienne|Curaçao|Asunción|"
     "Győr|Pécs|Brașov|İzmir|Đà Nẵng|Hà Nội|Huế|Luleå|Umeå|Västerås|"
     "Örebro|Café|Zürich-Nord|Lübeck|Jülich|Valparaíso"},
    {"pinyin",
     "Běijīng|Shànghǎi|Guǎngzhōu|Xiàmén|Chóngqìng|Hángzhōu|Nánjīng|Lǜ|"
     "Nǚ|Zhèngzhōu|Xī'ān|Chéngdū|Wǔhàn|Tiānjīn"},
    {"Cyrillic and Greek",
     "Москва|Новосибирск|Екатеринбург|Казань|"
     "Минск|Алматы|Αθηνα|Πειραιας|Владивосток|"
     "Хабаровск"},
    {"punctuation",
     "（主）|【备用】|·|、|—|《教育网》|「香港」|（任播）|：|"
     "北京·电信|上海（联通）"},
    {"kana", "さくら|インターネット|東京|大阪|ぷらら|ニフティ"},
    {"ASCII",
     "Google|Cloudflare|Quad9|OpenDNS|AdGuard|Level 3|DNS.WATCH|114DNS|public|backup|"
     "primary|anycast|1.1.1.1|AS4134|IPv4"},
};

}  // namespace

const std::vector<WordKind>& WordKinds() {
  static std::vector<WordKind> kinds;
  if (!kinds.empty()) return kinds;
  for (const auto& kind : Words) {
    kinds.push_back({kind.name, {}});
    for (const char* word = kind.words; *word != '\0';) {
      const char* end = word;
      while (*end != '\0' && *end != '|') ++end;
      kinds.back().words.emplace_back(word, end);
      word = *end == '|' ? end + 1 : end;
    }
  }
  return kinds;
}

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

std::string ListFile(const MadeList& list, MadeEncoding encoding) {
  std::string text = encoding == MadeUtf8WithMark ? "\xEF\xBB\xBF[DNSList]\r\n" : "[DNSList]\r\n";
  for (const auto& row : list.rows)
    text += row.first + "=" + (encoding == MadeGbk ? Gbk(row.second.c_str()) : row.second) + "\r\n";
  return text;
}
