// Message maps: every kind of entry reaches its handler with its arguments, derived maps come
// before their bases', and a message no map names is left alone.
#include <afxwin.h>
#include <gtest/gtest.h>

#include <string>

namespace {

class Base : public CWnd {
 public:
  std::string calls;

 protected:
  void OnBaseClick() { calls += "base-click;"; }
  void OnShared() { calls += "base-shared;"; }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(Base, CWnd)
ON_BN_CLICKED(7, OnBaseClick)
ON_BN_CLICKED(8, OnShared)
END_MESSAGE_MAP()

class Derived : public Base {
 public:
  BOOL Send(UINT message, UINT code, UINT id, WPARAM wParam = 0, LPARAM lParam = 0, LRESULT *result = nullptr) {
    return DispatchToMap(message, code, id, wParam, lParam, result);
  }

 protected:
  void OnShared() { calls += "derived-shared;"; }
  LRESULT OnPrivate(WPARAM wParam, LPARAM lParam) {
    calls += "private " + std::to_string(wParam) + " " + std::to_string(lParam) + ";";
    return 42;
  }
  void OnSliderClick(NMHDR *header, LRESULT *result) {
    calls += "notify " + std::to_string(header->idFrom) + ";";
    *result = 5;
  }
  void OnTimer(UINT_PTR id) { calls += "timer " + std::to_string(id) + ";"; }
  void OnClose() { calls += "close;"; }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(Derived, Base)
ON_BN_CLICKED(8, OnShared)
ON_MESSAGE(WM_USER + 81, OnPrivate)
ON_NOTIFY(NM_CLICK, 1059, OnSliderClick)
ON_WM_TIMER()
ON_WM_CLOSE()
END_MESSAGE_MAP()

TEST(MessageMap, EveryKindOfEntryReachesItsHandler) {
  Derived window;
  LRESULT result = 0;
  EXPECT_TRUE(window.Send(WM_USER + 81, 0, 0, 3, -4, &result));
  EXPECT_EQ(result, 42);
  NMHDR header{nullptr, 1059, static_cast<UINT>(NM_CLICK)};
  EXPECT_TRUE(window.Send(WM_NOTIFY, static_cast<UINT>(NM_CLICK), 1059, 1059, reinterpret_cast<LPARAM>(&header), &result));
  EXPECT_EQ(result, 5);
  EXPECT_TRUE(window.Send(WM_TIMER, 0, 0, 9));
  EXPECT_TRUE(window.Send(WM_CLOSE, 0, 0));
  EXPECT_EQ(window.calls, "private 3 -4;notify 1059;timer 9;close;");
}

TEST(MessageMap, DerivedEntriesComeFirstAndBaseEntriesStillApply) {
  Derived window;
  EXPECT_TRUE(window.Send(WM_COMMAND, BN_CLICKED, 8));
  EXPECT_TRUE(window.Send(WM_COMMAND, BN_CLICKED, 7));
  EXPECT_EQ(window.calls, "derived-shared;base-click;");
}

TEST(MessageMap, MessagesNoMapNamesAreNotHandled) {
  Derived window;
  EXPECT_FALSE(window.Send(WM_COMMAND, BN_CLICKED, 9));
  EXPECT_FALSE(window.Send(WM_NOTIFY, static_cast<UINT>(NM_CLICK), 1062));
  EXPECT_FALSE(window.Send(WM_USER + 82, 0, 0));
  EXPECT_EQ(window.calls, "");
}

}  // namespace
