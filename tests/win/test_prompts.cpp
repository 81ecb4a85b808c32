// The prompts as the user meets them: a real dialog answered from another thread, and the
// silent answers that show nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "run_state.h"
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
    saved_ = gOptions;
    savedInstance_ = gContext.hInstance;
    gOptions = AgentOptions{};
    gContext.hInstance = GetModuleHandleA(nullptr);
    InstallStatusWindow();
  }
  void TearDown() override {
    SetStatusWindow(nullptr);
    gOptions = saved_;
    gContext.hInstance = savedInstance_;
  }
  AgentOptions saved_;
  HINSTANCE savedInstance_;
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
