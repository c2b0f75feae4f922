// How long the list file takes to load into the table and to be written
// back from it, for lists far longer than anyone keeps, so that a slow
// profile call or a quadratic step shows. Prints a Markdown table.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serverlist/list_file.h"
#include "ui_fixture.h"

namespace {

const int RepeatCount = 3;

double Seconds() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A list in the form the tool writes, each location a few GBK characters
// and a number, as real lists have.
std::string ListText(int rows) {
  std::string text = "[DNSList]\r\n";
  for (int i = 0; i < rows; ++i) {
    char line[96];
    wsprintfA(line, "10.%d.%d.%d=%s %d\r\n", i / 65536, (i / 256) % 256, i % 256,
              Gbk("北京市 联通").c_str(), i);
    text += line;
  }
  return text;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

// Row counts may be given as arguments; by default 1000, 10000 and 20000.
int main(int argc, char** argv) {
  InitCommonControls();
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1000, 10000, 20000};
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string dir = std::string(temp) + "list_file_bench";
  CreateDirectoryA(dir.c_str(), nullptr);
  std::string path = dir + "\\dns.ini";

  std::printf(
      "List file under Wine, median of %d runs; loaded with the window hidden, as the\n"
      "program loads before its window shows.\n\n",
      RepeatCount);
  std::printf("| rows | file bytes | load ms | save ms | rows loaded |\n");
  std::printf("|---:|---:|---:|---:|---:|\n");
  for (int rows : counts) {
    std::string text = ListText(rows);
    std::vector<double> loads, saves;
    int loaded = 0;
    for (int r = 0; r < RepeatCount; ++r) {
      if (!WriteBytes(path, text)) {
        std::printf("cannot write %s\n", path.c_str());
        return 1;
      }
      ListFilePath[0] = '\0';  // the dialog opens empty; the load is timed alone
      UiThread ui;
      ResetScanState();
      lstrcpynA(ListFilePath, path.c_str(), MAX_PATH);
      // The program loads while its dialog initialises, before it shows.
      ui.Run([&ui] { ShowWindow(ui.dialog(), SW_HIDE); });
      double start = Seconds();
      ui.Run([] { LoadServerList(); });
      double middle = Seconds();
      ui.Run([] { SaveServerList(); });
      double end = Seconds();
      loads.push_back((middle - start) * 1000);
      saves.push_back((end - middle) * 1000);
      loaded = RowCount();
    }
    std::printf("| %d | %u | %.0f | %.0f | %d |\n", rows, static_cast<unsigned>(text.size()),
                Median(loads), Median(saves), loaded);
  }
  DeleteFileA(path.c_str());
  DeleteFileA((path + ".new").c_str());
  RemoveDirectoryA(dir.c_str());
  return 0;
}
