// The Windows shell of the card reader service: the main window with its tray icon on the
// window message loop. No command line, no configuration: it serves port 8085 and talks to
// winscard.dll until the window is closed.

// The controller's headers come first: the smart-card layer names its result codes as
// winerror.h does, which <windows.h> would turn into macros.
#include "app/MainUnit.h"

#include <windows.h>

#include "app/win32/MainWindow.h"
#include "app/win32/WinMainThread.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  app::TWinMainThread mainThread(instance);
  app::TMainWindow window(instance);
  mainThread.SetOnError([&window](const std::string& text) { window.ShowErrorBox(text); });
  window.SetOnClose([&mainThread] { mainThread.Quit(); });
  {
    app::TMainForm form(mainThread, window);
    window.ShowTrayIcon();
    form.FormCreate();
    window.Show();  // and at once to the tray
    mainThread.Run();
    form.FormDestroy();
  }
  mainThread.SetOnError(nullptr);
  return 0;
}
