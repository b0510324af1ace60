#pragma once

#include <cstdio>

#include "app/MainView.h"

namespace app {

// The console face of the service: log lines on standard output, flushed one by one; the
// status line in the terminal title (when standard output is a terminal) and on standard
// error; the error box as a line on standard error.
class TConsoleView : public IMainView {
 public:
  TConsoleView(std::FILE* out, std::FILE* err, bool setTerminalTitle);

  void SetStatusText(const std::string& text) override;
  void AppendLogLine(const std::string& line) override;
  void DeleteFirstLogLines(std::size_t count) override;
  void ShowErrorBox(const std::string& text) override;

 private:
  std::FILE* FOut;
  std::FILE* FErr;
  bool FSetTerminalTitle;
};

}  // namespace app
