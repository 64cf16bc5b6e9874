// The task-dialog boxes, hyperlink statics and window-long helpers, under Wine.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dialogs/DialogHelpers.h"

namespace {

// Waits for this process's task dialog, reads its static texts, then acts on it.
class DialogRobot {
public:
  std::vector<std::string> texts;
  bool found = false;

  template <class Act>
  std::thread Start(Act act) {
    return std::thread([this, act] {
      HWND dlg = nullptr;
      for (int i = 0; i < 3000 && !dlg; i++) {
        dlg = FindWindowA("#32770", "Brandwyn Viewer");
        if (!dlg) Sleep(10);
      }
      if (!dlg) return;
      // Shown once its initialisation has filled it in.
      for (int i = 0; i < 3000 && !IsWindowVisible(dlg); i++) Sleep(10);
      found = true;
      EnumChildWindows(
          dlg,
          [](HWND child, LPARAM p) -> BOOL {
            char cls[32] = "", text[4096] = "";
            GetClassNameA(child, cls, sizeof cls);
            GetWindowTextA(child, text, sizeof text);
            if (lstrcmpiA(cls, "Static") == 0 && text[0]) reinterpret_cast<DialogRobot*>(p)->texts.push_back(text);
            return TRUE;
          },
          reinterpret_cast<LPARAM>(this));
      act(dlg);
    });
  }
};

constexpr UINT kClickButton = WM_USER + 102;        // TDM_CLICK_BUTTON
constexpr UINT kClickVerification = WM_USER + 113;  // TDM_CLICK_VERIFICATION

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  for (const auto& t : v)
    if (t == s) return true;
  return false;
}

TEST(TaskDialogs, MessageBoxOkAndCancel) {
  for (int button : {IDOK, IDCANCEL}) {
    DialogRobot robot;
    std::thread t = robot.Start([button](HWND dlg) { SendMessageA(dlg, kClickButton, button, 0); });
    int r = ShowMessageTaskDialog(GetModuleHandleA(nullptr), nullptr, "The content", "The instruction", MB_ICONERROR);
    t.join();
    ASSERT_TRUE(robot.found);
    EXPECT_EQ(r & 0xFF, button == IDOK ? 1 : 0);
    EXPECT_GE(r, 0);
    EXPECT_TRUE(Contains(robot.texts, "The instruction"));
    EXPECT_TRUE(Contains(robot.texts, "The content"));
  }
}

TEST(TaskDialogs, LongInstructionIsCut) {
  std::string longText(300, 'i');
  DialogRobot robot;
  std::thread t = robot.Start([](HWND dlg) { SendMessageA(dlg, kClickButton, IDOK, 0); });
  ShowMessageTaskDialog(GetModuleHandleA(nullptr), nullptr, "c", longText.c_str(), 0);
  t.join();
  EXPECT_TRUE(Contains(robot.texts, std::string(127, 'i')));
}

TEST(TaskDialogs, ChoiceWithCheckBox) {
  struct Case {
    int button;
    bool tick;
  } cases[] = {{1000, true}, {1001, false}, {1000, false}};
  for (const auto& c : cases) {
    DialogRobot robot;
    std::thread t = robot.Start([c](HWND dlg) {
      if (c.tick) SendMessageA(dlg, kClickVerification, TRUE, FALSE);
      SendMessageA(dlg, kClickButton, c.button, 0);
    });
    BOOL checked = 5;
    int r = ShowChoiceTaskDialog(GetModuleHandleA(nullptr), nullptr, "Security", "Trust it?", "Yes, trust",
                                 "No", "Don't ask anymore", &checked);
    t.join();
    ASSERT_TRUE(robot.found);
    EXPECT_EQ(r & 0xFF, c.button == 1000 ? 1 : 0);
    EXPECT_EQ(checked != FALSE, c.tick);
  }
}

TEST(TaskDialogs, ChoiceWithoutCheckBoxLeavesTheStateAlone) {
  DialogRobot robot;
  std::thread t = robot.Start([](HWND dlg) { SendMessageA(dlg, kClickButton, 1000, 0); });
  BOOL checked = 7;
  int r = ShowChoiceTaskDialog(GetModuleHandleA(nullptr), nullptr, "Q", "Content", "Go", "Stop", "", &checked);
  t.join();
  EXPECT_EQ(r & 0xFF, 1);
  EXPECT_EQ(checked, 7);
}

LRESULT CALLBACK PlainProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcA(h, m, w, l); }

HWND MakeParent() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = PlainProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KebHyperlinkTestParent";
    wc.cbWndExtra = sizeof(void*);
    RegisterClassA(&wc);
    registered = true;
  }
  return CreateWindowA("KebHyperlinkTestParent", "parent", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                       GetModuleHandleA(nullptr), nullptr);
}

TEST(Hyperlinks, TwoStaticsSubclassTheParentOnce) {
  HWND parent = MakeParent();
  ASSERT_TRUE(parent);
  HWND a = CreateWindowA("STATIC", "link a", WS_CHILD | WS_VISIBLE, 0, 0, 50, 20, parent,
                         reinterpret_cast<HMENU>(11), nullptr, nullptr);
  HWND b = CreateWindowA("STATIC", "link b", WS_CHILD | WS_VISIBLE, 0, 30, 50, 20, parent,
                         reinterpret_cast<HMENU>(12), nullptr, nullptr);
  ASSERT_TRUE(a && b);
  WNDPROC staticProc = GetWindowProcedure(a);
  EXPECT_TRUE(ConvertStaticToHyperlink(parent, 11));
  EXPECT_TRUE(ConvertStaticToHyperlink(parent, 12));
  EXPECT_EQ(GetWindowProcedure(parent), &HyperlinkParentWndProc);
  // The parent's saved procedure is its own, not the hyperlink procedure saved a second time.
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetPropA(parent, "_Hyperlink_Original_Proc_")), &PlainProc);
  EXPECT_EQ(GetWindowProcedure(a), &HyperlinkWndProc);
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetPropA(a, "_Hyperlink_Original_Proc_")), staticProc);
  EXPECT_TRUE(GetWindowLongPtrA(a, GWL_STYLE) & SS_NOTIFY);
  EXPECT_TRUE(GetPropA(a, "_Hyperlink_Underline_Font_"));
  EXPECT_EQ(GetPropA(a, "_Hyperlink_From_Static_"), reinterpret_cast<HANDLE>(1));

  // Link text is dark blue.
  HDC dc = GetDC(a);
  SendMessageA(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(a));
  EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 192));
  ReleaseDC(a, dc);

  // The hand cursor is answered without the static's own procedure.
  EXPECT_EQ(SendMessageA(a, WM_SETCURSOR, reinterpret_cast<WPARAM>(a), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), TRUE);

  DestroyWindow(a);
  EXPECT_FALSE(IsWindow(a));
  EXPECT_EQ(GetWindowProcedure(parent), &HyperlinkParentWndProc);  // b still needs it
  DestroyWindow(parent);
}

TEST(WindowLong, WrappersStoreAndReturn) {
  HWND w = MakeParent();
  ASSERT_TRUE(w);
  int object = 0;
  SetWindowUserData(w, &object);
  EXPECT_EQ(reinterpret_cast<int*>(GetWindowLongPtrA(w, GWLP_USERDATA)), &object);
  SetWindowExtraPointer(w, &object);
  EXPECT_EQ(reinterpret_cast<int*>(GetWindowLongPtrA(w, 0)), &object);
  EXPECT_EQ(GetWindowInstanceHandle(w), GetModuleHandleA(nullptr));
  WNDPROC old = SetWindowProcedure(w, DefWindowProcA);
  EXPECT_EQ(old, &PlainProc);
  EXPECT_EQ(GetWindowProcedure(w), reinterpret_cast<WNDPROC>(DefWindowProcA));
  DestroyWindow(w);
}

}  // namespace
