#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "app/MainView.h"

namespace app {

// The main window of the service: the status line over the read-only log, the tray icon with
// its menu, minimise-to-tray and bringing the window back to the front.
class TMainWindow : public IMainView {
 public:
  static constexpr UINT UM_MINIMIZE = WM_USER + 1000;
  static constexpr int kClientWidth = 514;
  static constexpr int kClientHeight = 354;
  static constexpr int kPanelHeight = 41;
  static constexpr int kPanelBorder = 8;

  explicit TMainWindow(HINSTANCE instance);
  ~TMainWindow() override;
  TMainWindow(const TMainWindow&) = delete;
  TMainWindow& operator=(const TMainWindow&) = delete;

  HWND Handle() const { return FWnd; }
  // Called when the window is closed (close button or "Выйти"); the program then ends.
  void SetOnClose(std::function<void()> handler) { FOnClose = std::move(handler); }

  void ShowTrayIcon();
  // Shows the window; the first showing (not forced) sends it straight to the tray.
  void Show();

  // IMainView
  void SetStatusText(const std::string& text) override;
  void AppendLogLine(const std::string& line) override;
  void DeleteFirstLogLines(std::size_t count) override;
  void ShowErrorBox(const std::string& text) override;

  void FormShow();
  void UMMinimize();
  void ApplicationMinimize();
  void N1Click();
  void N3Click();
  static bool ForceForegroundWindow(HWND wnd);

 private:
  static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void LayoutControls();
  void ShowPopupMenu();
  void MinimizeApplication();
  void RestoreApplication();
  void RemoveTrayIcon();

  HINSTANCE FInstance;
  HWND FWnd = nullptr;
  HWND FPanel1 = nullptr;
  HWND FLogView = nullptr;
  HFONT FFont = nullptr;
  HMENU FPopupMenu1 = nullptr;
  HICON FIconLarge = nullptr;
  HICON FIconSmall = nullptr;
  UINT FTaskbarCreated = 0;
  bool FTrayIconWanted = false;
  bool FTrayIconVisible = false;
  bool FForcedShow = false;
  std::function<void()> FOnClose;
  // UTF-16 length of every log line, oldest first, so that whole lines can be cut from the
  // front whatever the wrapping shows.
  std::deque<std::size_t> FLogLineLengths;
};

}  // namespace app
