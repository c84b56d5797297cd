// The main dialog's calibration and draw-test commands, headless, in this process, against a
// stand-in of the library that records each call: the six arguments of every command, the prompt
// each completion message brings (text, caption, buttons and icon), Yes repeating the same call,
// and lParam changing nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calibkit.h"
#include "main_dialog.h"
#include "test_root.h"
#include "platform/headless.h"
#include "platform/text.h"
#include "resource.h"
#include "resource_file.h"

namespace headless = platform::headless;

struct LibraryCall {
  std::string function;
  HINSTANCE instance;
  std::u16string port;
  DWORD flags;
  int option;
  HWND notify;
  UINT message;
};
std::vector<LibraryCall> calls;

namespace {

int Record(const char *function, HINSTANCE instance, LPCWSTR port, DWORD flags, int option, HWND notify, UINT message) {
  calls.push_back({function, instance, port, flags, option, notify, message});
  return 1;
}

}  // namespace

extern "C" int Do2PtsCalibration(HINSTANCE i, LPCWSTR p, DWORD f, int o, HWND n, UINT m) {
  return Record("Do2PtsCalibration", i, p, f, o, n, m);
}
extern "C" int Do5PtsCalibration(HINSTANCE i, LPCWSTR p, DWORD f, int o, HWND n, UINT m) {
  return Record("Do5PtsCalibration", i, p, f, o, n, m);
}
extern "C" int Do25PtsCalibration(HINSTANCE i, LPCWSTR p, DWORD f, int o, HWND n, UINT m) {
  return Record("Do25PtsCalibration", i, p, f, o, n, m);
}
extern "C" int DoDrawTest(HINSTANCE i, LPCWSTR p, DWORD f, int o, HWND n, UINT m) {
  return Record("DoDrawTest", i, p, f, o, n, m);
}
// The settings dialog is not opened here.
extern "C" int GetDevicePanelParameter(tagParameter *) { return 0; }
extern "C" int SetDevicePanelParameter(tagParameter *) { return 0; }

namespace {

CWinApp application;

class MainDialogCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    application.m_hInstance = reinterpret_cast<HINSTANCE>(platform::LoadResourceFile(NORVIK_BIN_DIR "/calvex.res", &error));
    ASSERT_NE(application.m_hInstance, nullptr) << error;
  }

  void SetUp() override {
    calls.clear();
    root.WriteHive("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n\"COMM\"=\"COM3:\"\n\"ButShow\"=dword:0000001f\n");
  }

  // Runs the main dialog with the actions; its transcript.
  std::string Run(std::vector<headless::Action> actions) {
    headless::Session session(std::move(actions));
    CMainDlg dialog;
    application.m_pMainWnd = &dialog;
    EXPECT_EQ(dialog.DoModal(), IDOK) << session.Error();
    application.m_pMainWnd = nullptr;
    return session.Transcript();
  }

  // Posts a completion message to the main dialog, as the library does when a run ends.
  static headless::Action Complete(UINT message, WPARAM wParam, LPARAM lParam) {
    return headless::Call([=] { PostMessageW(FindWindowW(nullptr, u"Calvex"), message, wParam, lParam); });
  }

  testing_support::TempDeviceRoot root;
};

TEST_F(MainDialogCommands, EachButtonCallsItsRunWithTheSixArguments) {
  struct Case {
    int button;
    const char *function;
    UINT message;
  };
  const Case cases[] = {{IDC_CALIBRATE_2PT, "Do2PtsCalibration", 1105},
                        {IDC_CALIBRATE_5PT, "Do5PtsCalibration", 1106},
                        {IDC_CALIBRATE_25PT, "Do25PtsCalibration", 1107},
                        {IDC_DRAW_TEST, "DoDrawTest", 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.function);
    SetUp();
    HWND main = nullptr;
    std::string shown = Run({headless::Call([&] { main = FindWindowW(nullptr, u"Calvex"); }), headless::Click(c.button),
                             headless::Click(IDC_QUIT)});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, c.function);
    EXPECT_EQ(calls[0].instance, AfxGetInstanceHandle());
    EXPECT_EQ(calls[0].port, u"COM3:");
    EXPECT_EQ(calls[0].flags, 1u);
    EXPECT_EQ(calls[0].option, 0);
    EXPECT_EQ(calls[0].notify, main);
    EXPECT_EQ(calls[0].message, c.message);
    EXPECT_EQ(shown.find("message box"), std::string::npos) << "a command prompted by itself";
  }
}

// Each completion message brings its prompt, chosen by wParam alone; Yes calls the same run again
// with the same arguments, before the handler returns; No ends the sequence.
TEST_F(MainDialogCommands, ACompletionMessageAsksWhetherToCalibrateAgain) {
  struct Case {
    UINT message;
    WPARAM wParam;
    const char *caption;
    const char *text;
    const char *function;
  };
  const Case cases[] = {
      {1105, 1, " 2 Point Calibration", " 2 Point Calibration Finished!, Calibrate again? ", "Do2PtsCalibration"},
      {1105, 0, " 2 Point Calibration", " 2 Point Calibration not Finished!, Calibrate again? ", "Do2PtsCalibration"},
      {1106, 0, " 5 Point Calibration", " 5 Point Calibration not Finished!, Calibrate again? ", "Do5PtsCalibration"},
      {1106, 2, " 5 Point Calibration", " 5 Point Calibration Finished!, Calibrate again? ", "Do5PtsCalibration"},
      {1107, 1, " 25 Point Calibration", " 25 Point Calibration Finished!, Calibrate again? ", "Do25PtsCalibration"},
      {1107, 0, " 25 Point Calibration", " 25 Point Calibration not Finished!, Calibrate again? ", "Do25PtsCalibration"},
  };
  for (const Case &c : cases) {
    for (LPARAM lParam : {LPARAM{0}, LPARAM{0x1234}}) {
      for (int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(std::to_string(c.message) + " wParam " + std::to_string(c.wParam) + " lParam " +
                     std::to_string(lParam) + (answer == IDYES ? " yes" : " no"));
        SetUp();
        std::string shown = Run({Complete(c.message, c.wParam, lParam), headless::Answer(answer),
                                 headless::Click(IDC_QUIT)});
        EXPECT_EQ(shown, std::string("message box \"") + c.caption + "\" \"" + c.text +
                             "\" buttons=yes,no icon=question\n");
        if (answer == IDNO) {
          EXPECT_TRUE(calls.empty());
          continue;
        }
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].function, c.function);
        EXPECT_EQ(calls[0].port, u"COM3:");
        EXPECT_EQ(calls[0].flags, 1u);
        EXPECT_EQ(calls[0].option, 0);
        EXPECT_EQ(calls[0].message, c.message);
      }
    }
  }
}

// The runs repeat for as long as the user answers Yes.
TEST_F(MainDialogCommands, YesRepeatsUntilNo) {
  std::vector<headless::Action> actions{headless::Click(IDC_CALIBRATE_5PT)};
  for (int round = 0; round < 3; ++round)
    actions.insert(actions.end(), {Complete(1106, 1, 0), headless::Answer(IDYES)});
  actions.insert(actions.end(), {Complete(1106, 0, 0), headless::Answer(IDNO), headless::Click(IDC_QUIT)});
  Run(actions);
  EXPECT_EQ(calls.size(), 4u);
}

}  // namespace
