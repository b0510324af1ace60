#pragma once

#include <cstddef>
#include <string>

namespace app {

// What the controller needs of the window: the status line, the log box and the error box.
// Called on the main thread only.
class IMainView {
 public:
  virtual ~IMainView() = default;
  // The status line above the log.
  virtual void SetStatusText(const std::string& text) = 0;
  // One finished log line (time stamp included) to add at the end of the log.
  virtual void AppendLogLine(const std::string& line) = 0;
  // Removes the oldest `count` lines of the log.
  virtual void DeleteFirstLogLines(std::size_t count) = 0;
  // Tells the user of a failure; modal where the platform has a window.
  virtual void ShowErrorBox(const std::string& text) = 0;
};

}  // namespace app
