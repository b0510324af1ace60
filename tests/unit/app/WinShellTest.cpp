// The Windows shell's main-thread loop and log box; built into the Windows test runs only.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/MainWindow.h"
#include "app/win32/WinMainThread.h"
#include "base/TextConv.h"

namespace {

using namespace std::chrono_literals;

// Runs the loop until `done` is true (checked by a timer) or the time-out passes.
bool RunUntil(app::TWinMainThread& loop, const std::function<bool()>& done,
              std::chrono::milliseconds timeout = 10s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  auto check = loop.CreateTimer();
  check->SetInterval(10);
  check->SetOnTimer([&] {
    if (done() || std::chrono::steady_clock::now() > end) loop.Quit();
  });
  check->SetEnabled(true);
  loop.Run();
  return done();
}

class WinMainThreadTest : public ::testing::Test {
 protected:
  app::TWinMainThread FLoop{GetModuleHandleW(nullptr)};
};

TEST_F(WinMainThreadTest, SynchronizeFromAnotherThreadWaitsForTheMainThread) {
  const DWORD mainThread = GetCurrentThreadId();
  std::atomic<bool> returned{false};
  DWORD ranOn = 0;
  bool sawNotReturned = false;
  std::string failure;
  std::thread worker([&] {
    FLoop.Synchronize([&] {
      ranOn = GetCurrentThreadId();
      sawNotReturned = !returned.load();
      Sleep(50);  // the caller must still be waiting after this
    });
    returned = true;
    try {
      FLoop.Synchronize([] { throw std::runtime_error("from the task"); });
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
  });
  EXPECT_TRUE(RunUntil(FLoop, [&] { return !failure.empty(); }));
  worker.join();
  EXPECT_EQ(ranOn, mainThread);
  EXPECT_TRUE(sawNotReturned);
  EXPECT_EQ(failure, "from the task");

  // On the main thread it runs at once.
  bool ran = false;
  FLoop.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
}

// Far more posts than a thread's message queue holds (10000 messages): every one runs, in
// order, while the loop also serves timers.
TEST_F(WinMainThreadTest, FloodOfPostsAllRunInOrder) {
  constexpr int kPosts = 30000;
  std::vector<int> seen;
  std::thread worker([&] {
    for (int i = 0; i < kPosts; ++i) FLoop.Post([&seen, i] { seen.push_back(i); });
  });
  EXPECT_TRUE(RunUntil(
      FLoop, [&] { return seen.size() == kPosts; }, 60s));
  worker.join();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kPosts));
  for (int i = 0; i < kPosts; ++i) ASSERT_EQ(seen[i], i);
}

TEST_F(WinMainThreadTest, TimersFireOnTheMainThreadUntilDisabledOrDestroyed) {
  int oneShot = 0, repeating = 0, destroyedFired = 0;
  auto shot = FLoop.CreateTimer();
  shot->SetInterval(10);
  shot->SetOnTimer([&] {
    ++oneShot;
    shot->SetEnabled(false);
  });
  auto victim = FLoop.CreateTimer();
  victim->SetInterval(10);
  victim->SetOnTimer([&] { ++destroyedFired; });
  auto repeat = FLoop.CreateTimer();
  repeat->SetInterval(10);
  repeat->SetOnTimer([&] {
    ++repeating;
    victim.reset();  // a timer destroyed by another's callback never fires after
  });
  shot->SetEnabled(true);
  repeat->SetEnabled(true);
  victim->SetEnabled(true);
  EXPECT_TRUE(RunUntil(FLoop, [&] { return repeating >= 5; }));
  EXPECT_EQ(oneShot, 1);
  EXPECT_LE(destroyedFired, 1);
  const int firedBefore = destroyedFired;
  RunUntil(FLoop, [&] { return repeating >= 8; });
  EXPECT_EQ(destroyedFired, firedBefore);
  EXPECT_TRUE(shot->Enabled() == false);
}

TEST_F(WinMainThreadTest, QuitFromAnotherThreadEndsRunAndFailuresGoToTheHandler) {
  std::vector<std::string> errors;
  FLoop.SetOnError([&](const std::string& text) { errors.push_back(text); });
  bool after = false;
  FLoop.Post([] { throw std::runtime_error("posted failure"); });
  FLoop.Post([&] { after = true; });
  std::thread quitter([&] {
    Sleep(100);
    FLoop.Quit();
  });
  FLoop.Run();
  quitter.join();
  EXPECT_TRUE(after);
  EXPECT_EQ(errors, std::vector<std::string>{"posted failure"});
}

// The log box: lines read back from the edit control.
class WinLogViewTest : public ::testing::Test {
 protected:
  std::wstring Text() const {
    HWND edit = FindWindowExW(FWindow.Handle(), nullptr, L"EDIT", nullptr);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    text.resize(
        static_cast<std::size_t>(GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
    return text;
  }
  static std::wstring Wide(const std::string& text) {
    const std::u16string utf16 = base::Utf8ToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
  }

  app::TMainWindow FWindow{GetModuleHandleW(nullptr)};
};

TEST_F(WinLogViewTest, LayoutIsTheFixedClientArea) {
  RECT client;
  GetClientRect(FWindow.Handle(), &client);
  EXPECT_EQ(client.right - client.left, 514);
  EXPECT_EQ(client.bottom - client.top, 354);
  HWND edit = FindWindowExW(FWindow.Handle(), nullptr, L"EDIT", nullptr);
  RECT log;
  GetWindowRect(edit, &log);
  EXPECT_EQ(log.right - log.left, 514);
  EXPECT_EQ(log.bottom - log.top, 313);
  EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & ES_READONLY);
  EXPECT_FALSE(IsWindowVisible(FWindow.Handle()));
}

// Long (wrapped) and Cyrillic lines: trimming cuts whole lines from the front, however the
// box wraps them, and the box takes far more than its default 30000 characters.
TEST_F(WinLogViewTest, DeletesWholeLinesFromTheFront) {
  const std::string longLine(300, 'x');
  for (int i = 0; i < 1000; ++i)
    FWindow.AppendLogLine("Строка " + std::to_string(i) + (i % 3 == 0 ? " " + longLine : ""));
  EXPECT_GT(Text().size(), 100000u);
  FWindow.DeleteFirstLogLines(100);
  const std::wstring text = Text();
  EXPECT_EQ(text.rfind(Wide("Строка 100\r\n"), 0), 0u) << "starts with the 101st line";
  const std::wstring last = Wide("\r\nСтрока 999 " + longLine);
  EXPECT_EQ(text.compare(text.size() - last.size(), last.size(), last), 0);

  FWindow.AppendLogLine("после");
  EXPECT_EQ(Text().substr(Text().size() - 7), Wide("\r\nпосле"));
  FWindow.DeleteFirstLogLines(5000);
  EXPECT_EQ(Text(), L"");
  FWindow.AppendLogLine("снова");
  EXPECT_EQ(Text(), Wide("снова"));
}

// Minimise-to-tray and back, on the window message loop.
TEST(WinMainWindowTest, ShownAtStartGoesToTheTrayAndComesBackOnlyWhenForced) {
  app::TWinMainThread loop(GetModuleHandleW(nullptr));
  app::TMainWindow window(GetModuleHandleW(nullptr));
  HWND wnd = window.Handle();
  const auto hidden = [&] { return !IsWindowVisible(wnd); };
  const auto settled = [&](const std::function<bool()>& done) { return RunUntil(loop, done, 5s); };

  window.Show();  // as at start: shown, then minimised and hidden
  EXPECT_TRUE(IsWindowVisible(wnd));
  EXPECT_TRUE(settled(hidden));
  EXPECT_TRUE(IsIconic(wnd));

  window.N1Click();  // "Развернуть": shown, restored, and it stays
  EXPECT_TRUE(IsWindowVisible(wnd));
  EXPECT_FALSE(IsIconic(wnd));
  RunUntil(
      loop, [] { return false; }, 300ms);
  EXPECT_TRUE(IsWindowVisible(wnd));

  SendMessageW(wnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);  // the minimise button
  EXPECT_TRUE(hidden());

  window.N1Click();
  EXPECT_TRUE(IsWindowVisible(wnd));
  ShowWindow(wnd, SW_HIDE);
  window.Show();  // an ordinary show after a forced one goes to the tray again
  EXPECT_TRUE(settled(hidden));

  bool closed = false;
  window.SetOnClose([&] { closed = true; });
  window.N3Click();  // "Выйти"
  EXPECT_TRUE(settled([&] { return closed; }));
}

}  // namespace

#endif  // _WIN32
