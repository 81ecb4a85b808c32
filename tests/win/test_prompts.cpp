// The window as the user meets it: the results box of the real dialog over a whole run, the
// prompts answered from another thread, and the silent answers that show nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "run_state.h"
#include "win_test_support.h"
#include "window.h"

namespace {

struct Found {
  DWORD thread;
  HWND hwnd;
};

BOOL CALLBACK FindPrompt(HWND hwnd, LPARAM lp) {
  auto* f = reinterpret_cast<Found*>(lp);
  char cls[32] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  if (GetWindowThreadProcessId(hwnd, nullptr) == f->thread && strcmp(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
    f->hwnd = hwnd;
    return FALSE;
  }
  return TRUE;
}

// Waits for the prompt of `thread`, types `text` into its answer and presses `button`.
void Answer(DWORD thread, const char* text, int button, std::string* seenPrompt) {
  Found f{thread, nullptr};
  for (int i = 0; i < 200 && !f.hwnd; ++i) {
    Sleep(25);
    EnumWindows(FindPrompt, LPARAM(&f));
  }
  if (!f.hwnd) return;
  char prompt[128] = {};
  SendMessageA(GetDlgItem(f.hwnd, IDC_PROMPT_TEXT), WM_GETTEXT, sizeof prompt, LPARAM(prompt));
  *seenPrompt = prompt;
  SendMessageA(GetDlgItem(f.hwnd, IDC_PROMPT_EDIT), WM_SETTEXT, 0, LPARAM(text));
  PostMessageA(f.hwnd, WM_COMMAND, WPARAM(button), 0);
}

class Prompts : public ::testing::Test {
 protected:
  void SetUp() override {
    gContext.hInstance = GetModuleHandleA(nullptr);
    InstallStatusWindow();
  }
  void TearDown() override { SetStatusWindow(nullptr); }
  testsupport::SavedRun saved_;
};

}  // namespace

TEST_F(Prompts, OkTakesTheAnswerCancelLeavesTheBufferAsItWas) {
  char buffer[16] = "C:\\APPS";
  std::string seen;
  std::thread user(Answer, GetCurrentThreadId(), "D:\\ELSEWHERE\\LONGER", IDCANCEL, &seen);
  EXPECT_FALSE(PromptForText("New path:", buffer, "Enter Install Path", sizeof buffer));
  user.join();
  EXPECT_EQ(seen, "New path:");
  EXPECT_STREQ(buffer, "C:\\APPS");

  std::thread again(Answer, GetCurrentThreadId(), "D:\\ELSEWHERE\\LONGER", IDOK, &seen);
  EXPECT_TRUE(PromptForText("New path:", buffer, "Enter Install Path", sizeof buffer));
  again.join();
  EXPECT_STREQ(buffer, "D:\\ELSEWHERE\\LO");  // cut to the caller's size
}

TEST_F(Prompts, SilentAnswersWithoutShowingAnything) {
  gOptions.bSilent = true;
  char buffer[16] = "C:\\APPS";
  EXPECT_TRUE(AskYesNo("Do you want to install this package now?(Y/N)", "Office", "Accept Package"));
  EXPECT_FALSE(PromptForText("Windows Path:", buffer, "Enter Path to Windows", sizeof buffer));
  EXPECT_STREQ(buffer, "C:\\APPS");
  ShowMessageBox("Orvik Distribution Agent", "nothing to see");
  Found f{GetCurrentThreadId(), nullptr};
  EnumWindows(FindPrompt, LPARAM(&f));
  EXPECT_EQ(f.hwnd, nullptr);
}

namespace {

// What a package leaves in the box: about 150 characters, numbered.
std::string PackageText(int n) {
  return "Checking package \"Package " + std::to_string(n) + "\"...\r\nInstalling package \"Package " + std::to_string(n) +
         "\"...\r\n\r\nPackage installed successfully.\r\n\r\n";
}

}  // namespace

TEST(ResultsBox, HoldsAWholeRun) {
  testsupport::ResultsWindow main;
  ASSERT_TRUE(main.Ok());
  std::string all;
  for (int n = 1; n <= 700; ++n) {
    AppendToResultsBox(main.Box(), PackageText(n).c_str());
    all += PackageText(n);
  }
  AppendToResultsBox(main.Box(), "No more packages scheduled.\r\n\r\n");
  all += "No more packages scheduled.\r\n\r\n";
  ASSERT_GT(all.size(), 60000u);  // twice what the control takes by default
  EXPECT_EQ(main.Shown(), all);
  // The caret follows the text: the last line is in view.
  int lines = int(SendMessageA(main.Box(), EM_GETLINECOUNT, 0, 0));
  int first = int(SendMessageA(main.Box(), EM_GETFIRSTVISIBLELINE, 0, 0));
  EXPECT_GT(first, lines - 12) << "of " << lines;
}

TEST(ResultsBox, OldestTextGivesWayNeverTheNewest) {
  testsupport::ResultsWindow main;
  const int limit = 4096;
  PrepareResultsBox(main.Box(), limit);
  for (int n = 1; n <= 100; ++n) {
    AppendToResultsBox(main.Box(), PackageText(n).c_str(), limit);
    std::string text = main.Shown();
    ASSERT_LE(text.size(), size_t(limit)) << n;
    ASSERT_GE(text.size(), PackageText(n).size());
    // The newest text is there whole, at the end; what is left of the oldest starts a line.
    ASSERT_EQ(text.substr(text.size() - PackageText(n).size()), PackageText(n)) << n;
    ASSERT_TRUE(text.rfind("Checking package", 0) == 0 || text.rfind("Installing", 0) == 0 ||
                text.rfind("Package installed", 0) == 0 || text.rfind("\r\n", 0) == 0)
        << n << ": " << text.substr(0, 40);
  }
  EXPECT_EQ(main.Shown().find("\"Package 1\""), std::string::npos);
  // A single text larger than the whole box: its end is shown.
  std::string huge = std::string(limit, 'x') + "THE END";
  AppendToResultsBox(main.Box(), huge.c_str(), limit);
  std::string text = main.Shown();
  EXPECT_LE(text.size(), size_t(limit));
  EXPECT_EQ(text.substr(text.size() - 7), "THE END");
}
