// How long the list file takes to load into the table and to be written
// back, for lists far longer than anyone keeps, so that a slow step or a
// quadratic one shows: in GBK, and in UTF-8, whose reading is weighed
// against the code page's. Median of three runs each.
//   list_file_bench [rows...]   (default 1000 10000 20000)
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "figure.h"
#include "measure.h"
#include "serverlist/list_file.h"
#include "ui/start_up.h"
#include "ui_fixture.h"

namespace {

const int RepeatCount = 3;

// A list in the form the tool writes, each location a few Chinese
// characters and a number, as real lists have.
std::string ListText(int rows, bool utf8) {
  std::string text = "[DNSList]\r\n";
  for (int i = 0; i < rows; ++i) {
    char line[96];
    wsprintfA(line, "10.%d.%d.%d=%s %d\r\n", i / 65536, (i / 256) % 256, i % 256,
              utf8 ? "北京市 联通" : Gbk("北京市 联通").c_str(), i);
    text += line;
  }
  return text;
}

bool Measure(const std::vector<int>& counts, const std::string& path, bool utf8) {
  for (int rows : counts) {
    std::string text = ListText(rows, utf8);
    std::vector<double> loads, saves;
    for (int r = 0; r < RepeatCount; ++r) {
      if (!WriteBytes(path, text)) return Fail("cannot write %s", path.c_str());
      ListFilePath[0] = '\0';  // the dialog opens empty; the load is timed alone
      UiThread ui;
      ResetScanState();
      lstrcpynA(ListFilePath, path.c_str(), MAX_PATH);
      // The program loads while its dialog initialises, before it shows.
      ui.Run([&ui] { ShowWindow(ui.dialog(), SW_HIDE); });
      double start = NowMs();
      ui.Run([] { LoadServerList(); });
      double middle = NowMs();
      ui.Run([] { SaveServerList(); });
      saves.push_back(NowMs() - middle);
      loads.push_back(middle - start);
      if (RowCount() != rows) return Fail("%d rows of %d loaded", RowCount(), rows);
    }
    std::string name =
        std::string(utf8 ? "list_file.utf8_rows_" : "list_file.rows_") + std::to_string(rows);
    Figure(name + ".bytes", static_cast<double>(text.size()), "bytes");
    Figure(name + ".load", Median(loads), "ms");
    Figure(name + ".save", Median(saves), "ms");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  StartUp();  // for the common controls: nothing here opens a socket
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1000, 10000, 20000};
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string dir = std::string(temp) + "list_file_bench";
  CreateDirectoryA(dir.c_str(), nullptr);
  bool ok = Measure(counts, dir + "\\dns.ini", false) && Measure(counts, dir + "\\dns.ini", true);
  DeleteFileA((dir + "\\dns.ini").c_str());
  RemoveDirectoryA(dir.c_str());
  return ok ? 0 : 1;
}
