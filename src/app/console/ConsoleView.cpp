#include "app/console/ConsoleView.h"

#include <string>

namespace app {

TConsoleView::TConsoleView(std::FILE* out, std::FILE* err, bool setTerminalTitle)
    : FOut(out), FErr(err), FSetTerminalTitle(setTerminalTitle) {}

void TConsoleView::SetStatusText(const std::string& text) {
  if (FSetTerminalTitle) {
    std::fprintf(FOut, "\033]0;%s\007", text.c_str());
    std::fflush(FOut);
  }
  std::fprintf(FErr, "Статус: %s\n", text.c_str());
  std::fflush(FErr);
}

void TConsoleView::AppendLogLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), FOut);
  std::fputc('\n', FOut);
  std::fflush(FOut);
}

// Lines already written to a stream stay there; only the controller's copy is trimmed.
void TConsoleView::DeleteFirstLogLines(std::size_t) {}

void TConsoleView::ShowErrorBox(const std::string& text) {
  std::fprintf(FErr, "Ошибка: %s\n", text.c_str());
  std::fflush(FErr);
}

}  // namespace app
