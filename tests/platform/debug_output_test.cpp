// Kernel debug output: the conversions of NKDbgPrintfW and the zone macros that gate messages.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "debug_capture.h"
#include "platform/debug_output.h"
#include "platform/text.h"

namespace {

using testing_support::DebugCapture;

TEST(DebugOutput, ConversionsFollowTheKernelsRules) {
  DebugCapture capture;
  NKDbgPrintfW(TEXT("[FUNC] %a()\r\n"), "+DetectSerialPort");
  NKDbgPrintfW(TEXT("Fail to open %s. Error %d\r\n"), TEXT("COM1:"), 2);
  NKDbgPrintfW(TEXT("%u %x %X %08x %-4d| %5d %c %%"), 4000000000u, 255u, 255u, 0xabcu, 7, -42, 'Q');
  NKDbgPrintfW(TEXT("%s %a"), static_cast<const WCHAR *>(nullptr), static_cast<const char *>(nullptr));
  NKDbgPrintfW(TEXT("%ld %lu %lx"), -5L, 6UL, 0xffffffffffUL);
  ASSERT_EQ(capture.messages.size(), 5u);
  EXPECT_EQ(capture.messages[0], "[FUNC] +DetectSerialPort()\r\n");
  EXPECT_EQ(capture.messages[1], "Fail to open COM1:. Error 2\r\n");
  EXPECT_EQ(capture.messages[2], "4000000000 ff FF 00000abc 7   |   -42 Q %");
  EXPECT_EQ(capture.messages[3], "(null) (null)");
  EXPECT_EQ(capture.messages[4], "-5 6 ffffffffff");
}

TEST(DebugOutput, EmptyStringAndNonAsciiTextArePrintedAsGiven) {
  DebugCapture capture;
  NKDbgPrintfW(TEXT("open [%s]"), TEXT(""));
  NKDbgPrintfW(TEXT("%s"), TEXT("\u00e9\u4e2d"));
  ASSERT_EQ(capture.messages.size(), 2u);
  EXPECT_EQ(capture.messages[0], "open []");
  EXPECT_EQ(capture.messages[1], "\u00e9\u4e2d");
}

DBGPARAM dpCurSettings = {TEXT("Test"), {TEXT("Data")}, 0x8000};

TEST(DebugZones, MessagesPrintOnlyWhileTheirZoneIsEnabled) {
  DebugCapture capture;
  DEBUGMSG(DEBUGZONE(12), (TEXT("init\r\n")));
  DEBUGMSG(DEBUGZONE(15), (TEXT("error\r\n")));
  RETAILMSG(1, (TEXT("always\r\n")));
  dpCurSettings.ulZoneMask = 0x1000;
  DEBUGMSG(DEBUGZONE(12), (TEXT("init again\r\n")));
  DEBUGMSG(DEBUGZONE(15), (TEXT("error again\r\n")));
  dpCurSettings.ulZoneMask = 0x8000;
  EXPECT_EQ(capture.messages, (std::vector<std::string>{"error\r\n", "always\r\n", "init again\r\n"}));
}

}  // namespace
