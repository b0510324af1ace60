#include "app/win32/MainWindow.h"

#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>

#include "app/win32/WinResources.h"
#include "base/TextConv.h"

namespace app {
namespace {

constexpr wchar_t kWindowClass[] = L"TMainForm";
constexpr wchar_t kCaption[] = L"Сервис считывателя карт школьника";
constexpr wchar_t kTrayHint[] = L"Обработчик считывателя карт школьника";
constexpr UINT kTrayMessage = WM_APP + 10;
constexpr UINT kTrayIconId = 1;
constexpr UINT_PTR kMenuN1 = 1;
constexpr UINT_PTR kMenuN3 = 3;
constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr UINT kSpiGetForegroundLockTimeout = 0x2000;
constexpr UINT kSpiSetForegroundLockTimeout = 0x2001;

std::wstring Wide(const std::string& text) {
  const std::u16string utf16 = base::Utf8ToUtf16(text);
  return std::wstring(utf16.begin(), utf16.end());
}

// Windows 2000 / 98 and later guard the foreground; older systems hand it over freely.
bool ForegroundIsLocked() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExW(&info)) return true;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return info.dwMajorVersion > 4;
  return info.dwMajorVersion > 4 || (info.dwMajorVersion == 4 && info.dwMinorVersion > 0);
}

HICON LoadAppIcon(HINSTANCE instance, int metricX, int metricY) {
  auto* icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_MAINICON), IMAGE_ICON,
                                             GetSystemMetrics(metricX), GetSystemMetrics(metricY),
                                             LR_DEFAULTCOLOR));
  return icon ? icon : LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
}

}  // namespace

TMainWindow::TMainWindow(HINSTANCE instance) : FInstance(instance) {
  FIconLarge = LoadAppIcon(instance, SM_CXICON, SM_CYICON);
  FIconSmall = LoadAppIcon(instance, SM_CXSMICON, SM_CYSMICON);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &TMainWindow::WindowProc;
  wc.hInstance = instance;
  wc.hIcon = FIconLarge;
  wc.hIconSm = FIconSmall;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);

  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  FWnd = CreateWindowExW(0, kWindowClass, kCaption, kWindowStyle, 0, 0, frame.right - frame.left,
                         frame.bottom - frame.top, nullptr, nullptr, instance, this);
  if (!FWnd) throw std::runtime_error("cannot create the main window");
  CreateControls();

  FPopupMenu1 = CreatePopupMenu();
  AppendMenuW(FPopupMenu1, MF_STRING, kMenuN1, L"Развернуть");
  AppendMenuW(FPopupMenu1, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(FPopupMenu1, MF_STRING, kMenuN3, L"Выйти");
  FTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
}

TMainWindow::~TMainWindow() {
  RemoveTrayIcon();
  if (FWnd) {
    SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
    DestroyWindow(FWnd);
  }
  if (FPopupMenu1) DestroyMenu(FPopupMenu1);
  if (FFont) DeleteObject(FFont);
}

void TMainWindow::CreateControls() {
  // Tahoma 8 pt at 96 dpi: 11 pixels of character height.
  FFont =
      CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
  FPanel1 = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_CENTER | SS_CENTERIMAGE,
                            0, 0, 0, 0, FWnd, nullptr, FInstance, nullptr);
  // No ES_AUTOHSCROLL: long lines wrap.
  FLogView = CreateWindowExW(
      WS_EX_CLIENTEDGE, L"EDIT", L"",
      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0, 0, 0,
      FWnd, nullptr, FInstance, nullptr);
  // The default limit (about 30000 characters) is far below 1001 log lines.
  SendMessageW(FLogView, EM_SETLIMITTEXT, 0, 0);
  for (HWND control : {FWnd, FPanel1, FLogView})
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
  LayoutControls();
}

void TMainWindow::LayoutControls() {
  RECT client;
  GetClientRect(FWnd, &client);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  MoveWindow(FPanel1, kPanelBorder, kPanelBorder, std::max(0, width - 2 * kPanelBorder),
             kPanelHeight - 2 * kPanelBorder, TRUE);
  MoveWindow(FLogView, 0, kPanelHeight, width, std::max(0, height - kPanelHeight), TRUE);
}

LRESULT CALLBACK TMainWindow::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<TMainWindow*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (!self || !self->FWnd) return DefWindowProcW(wnd, msg, wParam, lParam);
  return self->HandleMessage(msg, wParam, lParam);
}

LRESULT TMainWindow::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case UM_MINIMIZE:
      UMMinimize();
      return 0;
    case WM_SIZE:
      // Minimised, the client area is empty: laid out at width 0 the log would scroll
      // sideways with every line added in the tray and stay so when restored.
      if (wParam != SIZE_MINIMIZED) LayoutControls();
      return 0;
    case WM_SYSCOMMAND:
      // The minimise button and the taskbar minimise the whole application, as UM_MINIMIZE
      // does, which sends the window to the tray.
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        MinimizeApplication();
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      // A read-only edit asks as a static does; the log keeps the window colour.
      if (reinterpret_cast<HWND>(lParam) == FLogView) {
        auto dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0 && lParam == 0) {
        if (LOWORD(wParam) == kMenuN1) N1Click();
        if (LOWORD(wParam) == kMenuN3) N3Click();
        return 0;
      }
      break;
    case kTrayMessage:
      if (LOWORD(lParam) == WM_RBUTTONUP) ShowPopupMenu();
      return 0;
    case WM_CLOSE:
      ShowWindow(FWnd, SW_HIDE);
      RemoveTrayIcon();
      if (FOnClose) FOnClose();
      return 0;
    default:
      // A new taskbar (Explorer restarted, or started after us at logon) has no icon of
      // ours yet, also when adding it failed before.
      if (msg == FTaskbarCreated && FTrayIconWanted) {
        FTrayIconVisible = false;
        ShowTrayIcon();
        return 0;
      }
      break;
  }
  return DefWindowProcW(FWnd, msg, wParam, lParam);
}

void TMainWindow::ShowTrayIcon() {
  FTrayIconWanted = true;
  if (FTrayIconVisible) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = FWnd;
  data.uID = kTrayIconId;
  data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = FIconSmall;
  wcsncpy(data.szTip, kTrayHint, sizeof(data.szTip) / sizeof(data.szTip[0]) - 1);
  FTrayIconVisible = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void TMainWindow::RemoveTrayIcon() {
  FTrayIconWanted = false;
  if (!FTrayIconVisible) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = FWnd;
  data.uID = kTrayIconId;
  Shell_NotifyIconW(NIM_DELETE, &data);
  FTrayIconVisible = false;
}

void TMainWindow::ShowPopupMenu() {
  POINT at;
  GetCursorPos(&at);
  // Without the foreground the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(FWnd);
  TrackPopupMenu(FPopupMenu1, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, 0, FWnd, nullptr);
  PostMessageW(FWnd, WM_NULL, 0, 0);
}

void TMainWindow::Show() {
  const bool wasVisible = IsWindowVisible(FWnd) != FALSE;
  ShowWindow(FWnd, SW_SHOW);
  BringWindowToTop(FWnd);
  if (!wasVisible) FormShow();
}

void TMainWindow::FormShow() {
  if (!FForcedShow) PostMessageW(FWnd, UM_MINIMIZE, 0, 0);
}

void TMainWindow::UMMinimize() {
  MinimizeApplication();
}

void TMainWindow::MinimizeApplication() {
  ShowWindow(FWnd, SW_MINIMIZE);
  ApplicationMinimize();
}

void TMainWindow::ApplicationMinimize() {
  ShowWindow(FWnd, SW_HIDE);
}

void TMainWindow::RestoreApplication() {
  if (IsIconic(FWnd)) ShowWindow(FWnd, SW_RESTORE);
}

void TMainWindow::N1Click() {
  struct TForcedShow {
    bool& flag;
    explicit TForcedShow(bool& f) : flag(f) { flag = true; }
    ~TForcedShow() { flag = false; }
  };
  {
    TForcedShow forced(FForcedShow);
    Show();
  }
  RestoreApplication();
  ForceForegroundWindow(FWnd);
}

void TMainWindow::N3Click() {
  PostMessageW(FWnd, WM_CLOSE, 0, 0);
}

bool TMainWindow::ForceForegroundWindow(HWND wnd) {
  if (IsIconic(wnd)) ShowWindow(wnd, SW_RESTORE);
  if (GetForegroundWindow() == wnd) return true;
  if (!ForegroundIsLocked()) {
    BringWindowToTop(wnd);
    SetForegroundWindow(wnd);
    return GetForegroundWindow() == wnd;
  }
  const DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
  const DWORD ownThread = GetWindowThreadProcessId(wnd, nullptr);
  bool done = false;
  if (AttachThreadInput(ownThread, foregroundThread, TRUE)) {
    BringWindowToTop(wnd);
    SetForegroundWindow(wnd);
    AttachThreadInput(ownThread, foregroundThread, FALSE);
    done = GetForegroundWindow() == wnd;
  }
  if (!done) {
    DWORD timeout = 0;
    SystemParametersInfoW(kSpiGetForegroundLockTimeout, 0, &timeout, 0);
    SystemParametersInfoW(kSpiSetForegroundLockTimeout, 0, nullptr, SPIF_SENDCHANGE);
    BringWindowToTop(wnd);
    SetForegroundWindow(wnd);
    SystemParametersInfoW(kSpiSetForegroundLockTimeout, 0,
                          reinterpret_cast<PVOID>(static_cast<UINT_PTR>(timeout)), SPIF_SENDCHANGE);
  }
  return GetForegroundWindow() == wnd;
}

void TMainWindow::SetStatusText(const std::string& text) {
  SetWindowTextW(FPanel1, Wide(text).c_str());
}

void TMainWindow::AppendLogLine(const std::string& line) {
  std::wstring text = Wide(line);
  FLogLineLengths.push_back(text.size());
  if (FLogLineLengths.size() > 1) text.insert(0, L"\r\n");
  const LRESULT end = GetWindowTextLengthW(FLogView);
  SendMessageW(FLogView, EM_SETSEL, end, end);
  SendMessageW(FLogView, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void TMainWindow::DeleteFirstLogLines(std::size_t count) {
  count = std::min(count, FLogLineLengths.size());
  if (count == 0) return;
  if (count == FLogLineLengths.size()) {
    FLogLineLengths.clear();
    SetWindowTextW(FLogView, L"");
    return;
  }
  std::size_t chars = 0;
  for (std::size_t i = 0; i < count; ++i) chars += FLogLineLengths[i] + 2;  // line and CR LF
  FLogLineLengths.erase(FLogLineLengths.begin(),
                        FLogLineLengths.begin() + static_cast<std::ptrdiff_t>(count));
  SendMessageW(FLogView, EM_SETSEL, 0, static_cast<LPARAM>(chars));
  SendMessageW(FLogView, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

void TMainWindow::ShowErrorBox(const std::string& text) {
  MessageBoxW(FWnd, Wide(text).c_str(), kCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace app
