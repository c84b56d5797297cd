// Windows and messages within one process: classes, creating and destroying windows, finding
// them, posting, sending and taking messages across threads, what bad handles get, and the
// records that publish top-level windows on the device root. touchtray_test covers other processes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "debug_capture.h"
#include "platform/device_root.h"
#include "platform/pointer_output.h"
#include "test_root.h"
#include "window_publication.h"

namespace {

constexpr std::chrono::seconds kBound{10};

constexpr UINT kDouble = WM_USER + 1;  // the procedure answers wParam * 2
constexpr UINT kRelay = WM_USER + 2;   // the procedure sends kDouble with lParam to window wParam, answers that + 1
constexpr UINT kQuit = WM_USER + 3;    // the procedure calls PostQuitMessage(0)

const char16_t kClass[] = u"WindowsTest";
const char16_t kOtherClass[] = u"WindowsTestOther";
const char16_t kRefusingClass[] = u"WindowsTestRefusing";

struct Received {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  std::thread::id thread;
};

// Every message a test window's procedure received, in order, across threads.
class Log {
 public:
  void Add(const Received &entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
    changed_.notify_all();
  }
  std::vector<Received> Of(HWND hwnd) {
    std::lock_guard lock(mutex_);
    std::vector<Received> found;
    for (const auto &entry : entries_)
      if (entry.hwnd == hwnd) found.push_back(entry);
    return found;
  }
  // Waits until `hwnd` has received `message`; the entry, or nothing after the bound.
  std::optional<Received> WaitFor(HWND hwnd, UINT message) {
    std::unique_lock lock(mutex_);
    std::optional<Received> found;
    changed_.wait_for(lock, kBound, [&] {
      for (const auto &entry : entries_)
        if (entry.hwnd == hwnd && entry.message == message) found = entry;
      return found.has_value();
    });
    return found;
  }
  std::vector<Received> All() {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> entries_;
};

Log received;

LRESULT CALLBACK RecordingProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  LPARAM logged = message == WM_CREATE ? reinterpret_cast<LPARAM>(
                                             reinterpret_cast<const CREATESTRUCTW *>(lParam)->lpCreateParams)
                                       : lParam;
  received.Add({hwnd, message, wParam, logged, std::this_thread::get_id()});
  switch (message) {
    case kDouble: return static_cast<LRESULT>(wParam * 2);
    case kRelay: return SendMessageW(reinterpret_cast<HWND>(wParam), kDouble, static_cast<WPARAM>(lParam), 0) + 1;
    case kQuit: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

LRESULT CALLBACK RefusingProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  received.Add({hwnd, message, wParam, 0, std::this_thread::get_id()});
  return message == WM_CREATE ? -1 : 0;
}

ATOM Register(const char16_t *name, WNDPROC procedure) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = procedure;
  windowClass.lpszClassName = name;
  return RegisterClassW(&windowClass);
}

ATOM TestClassAtom() {
  static const ATOM atom = [] {
    Register(kOtherClass, RecordingProcedure);
    Register(kRefusingClass, RefusingProcedure);
    return Register(kClass, RecordingProcedure);
  }();
  return atom;
}

HWND Create(const char16_t *name, const char16_t *className = kClass, HWND parent = nullptr, DWORD style = 0) {
  return CreateWindowExW(0, className, name, style, 0, 0, 10, 10, parent, nullptr, nullptr, nullptr);
}

// Runs `call` on a thread of its own and returns its result, failing the whole run when it does
// not return within the bound: a deadlock must not hang the suite.
template <class Call>
auto Bounded(Call call) {
  std::packaged_task<decltype(call())()> task(std::move(call));
  auto result = task.get_future();
  std::thread runner(std::move(task));
  if (result.wait_for(kBound) != std::future_status::ready) {
    std::fprintf(stderr, "a window call did not return within %lld s: deadlock\n", static_cast<long long>(kBound.count()));
    std::abort();
  }
  runner.join();
  return result.get();
}

// A thread that owns one window and takes its messages until the window gets kQuit.
class PumpThread {
 public:
  PumpThread() {
    std::promise<HWND> created;
    auto window = created.get_future();
    thread_ = std::thread([&created] {
      HWND hwnd = Create(u"pumped");
      created.set_value(hwnd);
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
      DestroyWindow(hwnd);
    });
    hwnd_ = window.get();
  }
  ~PumpThread() {
    PostMessageW(hwnd_, kQuit, 0, 0);
    thread_.join();
  }
  HWND hwnd() const { return hwnd_; }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  std::thread thread_;
  HWND hwnd_ = nullptr;
};

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(TestClassAtom(), 0);
    received.Clear();
  }
  void TearDown() override {
    for (HWND hwnd : windows_)
      if (IsWindow(hwnd)) DestroyWindow(hwnd);
    MSG leftover;
    while (PeekMessageW(&leftover, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  HWND Own(HWND hwnd) {
    windows_.push_back(hwnd);
    return hwnd;
  }
  bool RecordExists(HWND hwnd) const {
    struct stat info {};
    return stat(RecordPath(hwnd).c_str(), &info) == 0;
  }
  std::string RecordPath(HWND hwnd) const {
    auto value = reinterpret_cast<uintptr_t>(hwnd);
    return root_.path() + "/run/window." + std::to_string(value >> 32) + "." + std::to_string(value & 0xFFFFFFFFu);
  }

  testing_support::TempDeviceRoot root_;
  std::vector<HWND> windows_;
};

// --- Classes and creation -------------------------------------------------------------------------

TEST_F(WindowsTest, RegisterClassRefusesDuplicatesInAnyCaseAndIncompleteClasses) {
  ASSERT_NE(Register(u"DuplicateClass", RecordingProcedure), 0);
  struct Case {
    const char16_t *name;
    WNDPROC procedure;
    DWORD error;
  };
  const Case cases[] = {{u"duplicateCLASS", RecordingProcedure, ERROR_CLASS_ALREADY_EXISTS},
                        {nullptr, RecordingProcedure, ERROR_INVALID_PARAMETER},
                        {u"", RecordingProcedure, ERROR_INVALID_PARAMETER},
                        {u"NoProcedure", nullptr, ERROR_INVALID_PARAMETER}};
  for (const Case &c : cases) {
    EXPECT_EQ(Register(c.name, c.procedure), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(RegisterClassW(nullptr), 0);
}

TEST_F(WindowsTest, CreateWindowSendsWmCreateWithItsArgumentsBeforeReturning) {
  int marker = 0;
  HWND hwnd = Own(CreateWindowExW(0, u"windowstest", u"created", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, &marker));
  ASSERT_NE(hwnd, nullptr);
  auto log = received.Of(hwnd);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].message, static_cast<UINT>(WM_CREATE));
  EXPECT_EQ(log[0].lParam, reinterpret_cast<LPARAM>(&marker));
  EXPECT_EQ(log[0].thread, std::this_thread::get_id());
  EXPECT_NE(Own(Create(u"by atom", MAKEINTATOM(TestClassAtom()))), nullptr);
}

TEST_F(WindowsTest, CreateWindowFailsForUnknownClassesBadParentsAndRefusedCreation) {
  HWND ended = nullptr;
  std::thread([&] { ended = Create(u"other thread"); }).join();  // gone with its thread
  PumpThread pump;
  struct Case {
    const char16_t *className;
    HWND parent;
    DWORD style;
    DWORD error;
  };
  const Case cases[] = {{u"NoSuchClass", nullptr, 0, ERROR_CANNOT_FIND_WND_CLASS},
                        {nullptr, nullptr, 0, ERROR_CANNOT_FIND_WND_CLASS},
                        {MAKEINTATOM(0xBEEF), nullptr, 0, ERROR_CANNOT_FIND_WND_CLASS},
                        {kClass, nullptr, WS_CHILD, ERROR_TLW_WITH_WSCHILD},
                        {kClass, ended, WS_CHILD, ERROR_INVALID_WINDOW_HANDLE},
                        {kClass, pump.hwnd(), WS_CHILD, ERROR_WINDOW_OF_OTHER_THREAD}};
  for (const Case &c : cases) {
    EXPECT_EQ(Create(u"bad", c.className, c.parent, c.style), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  // A procedure that answers WM_CREATE with -1 then gets WM_DESTROY, and no window is left.
  received.Clear();
  EXPECT_EQ(Create(u"refused", kRefusingClass), nullptr);
  auto log = received.All();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].message, static_cast<UINT>(WM_CREATE));
  EXPECT_EQ(log[1].message, static_cast<UINT>(WM_DESTROY));
  EXPECT_FALSE(IsWindow(log[0].hwnd));
  EXPECT_EQ(FindWindowW(kRefusingClass, nullptr), nullptr);
}

// --- Destroying -----------------------------------------------------------------------------------

TEST_F(WindowsTest, DestroyWindowSendsWmDestroyToTheWindowThenItsChildrenAndDropsTheirMessages) {
  HWND parent = Own(Create(u"parent"));
  HWND child = Create(u"child", kClass, parent, WS_CHILD);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(PostMessageW(parent, kDouble, 1, 1));
  received.Clear();
  ASSERT_TRUE(DestroyWindow(parent));
  auto parentLog = received.Of(parent);
  auto childLog = received.Of(child);
  ASSERT_EQ(parentLog.size(), 1u);
  ASSERT_EQ(childLog.size(), 1u);
  EXPECT_EQ(parentLog[0].message, static_cast<UINT>(WM_DESTROY));
  EXPECT_EQ(childLog[0].message, static_cast<UINT>(WM_DESTROY));
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  MSG message;
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowsTest, OnlyTheOwnerThreadDestroysAWindowAndWmCloseDoesByDefault) {
  HWND hwnd = Own(Create(u"owned"));
  BOOL destroyed = Bounded([hwnd] { return DestroyWindow(hwnd); });
  EXPECT_FALSE(destroyed);
  EXPECT_TRUE(IsWindow(hwnd));
  DWORD error = Bounded([hwnd] {
    DestroyWindow(hwnd);
    return GetLastError();
  });
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SendMessageW(hwnd, WM_CLOSE, 0, 0), 0);
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(WindowsTest, WindowsOfAThreadThatEndedAreGoneAndUnpublished) {
  HWND hwnd = nullptr;
  std::thread([&] { hwnd = Create(u"short-lived"); }).join();
  ASSERT_NE(hwnd, nullptr);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(RecordExists(hwnd));
  EXPECT_EQ(FindWindowW(nullptr, u"short-lived"), nullptr);
  EXPECT_FALSE(PostMessageW(hwnd, kDouble, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowsTest, EveryCallOnABadHandleFailsWithInvalidWindowHandle) {
  HWND destroyed = Create(u"destroyed");
  DestroyWindow(destroyed);
  const uintptr_t self = static_cast<uintptr_t>(getpid()) << 32;
  const std::pair<const char *, HWND> handles[] = {
      {"destroyed", destroyed},
      {"never issued", reinterpret_cast<HWND>(self | 0xFFFFFFF0u)},
      {"small integer", reinterpret_cast<HWND>(0x1234)},
      {"process that never existed", reinterpret_cast<HWND>((uintptr_t{0x3FFFFFF0} << 32) | 1)}};
  for (const auto &[what, hwnd] : handles) {
    SCOPED_TRACE(what);
    MSG message{};
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(DestroyWindow(hwnd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostMessageW(hwnd, kDouble, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(SendMessageW(hwnd, kDouble, 1, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetMessageW(&message, hwnd, 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PeekMessageW(&message, hwnd, 0, 0, PM_REMOVE));
    message.hwnd = hwnd;
    EXPECT_EQ(DispatchMessageW(&message), 0);
  }
  EXPECT_FALSE(IsWindow(nullptr));
  EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
}

// --- Finding --------------------------------------------------------------------------------------

TEST_F(WindowsTest, FindWindowMatchesClassAndNameWithoutRegardToCaseAndOnlyTopLevelWindows) {
  HWND alpha = Own(Create(u"Alpha One"));
  HWND beta = Own(Create(u"Beta", kOtherClass));
  Own(Create(u"Gamma", kOtherClass, beta, WS_CHILD));
  struct Case {
    const char16_t *className;
    const char16_t *name;
    HWND expected;
  };
  const Case cases[] = {{kClass, nullptr, alpha},         {u"WINDOWSTEST", nullptr, alpha},
                        {nullptr, u"alpha one", alpha},   {u"windowstestother", u"BETA", beta},
                        {MAKEINTATOM(TestClassAtom()), nullptr, alpha},
                        {kClass, u"Beta", nullptr},       {nullptr, u"Alpha", nullptr},
                        {u"NoSuchClass", nullptr, nullptr}, {nullptr, u"Gamma", nullptr}};
  for (const Case &c : cases) EXPECT_EQ(FindWindowW(c.className, c.name), c.expected);
}

// --- Posting and taking ---------------------------------------------------------------------------

TEST_F(WindowsTest, PostedMessagesComeOutInOrderAndGoToTheProcedureOnDispatch) {
  HWND hwnd = Own(Create(u"queue"));
  for (WPARAM i = 1; i <= 3; ++i) ASSERT_TRUE(PostMessageW(hwnd, WM_USER + 10 + static_cast<UINT>(i), i, -LPARAM(i)));
  for (WPARAM i = 1; i <= 3; ++i) {
    MSG message{};
    ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.hwnd, hwnd);
    EXPECT_EQ(message.message, WM_USER + 10 + i);
    EXPECT_EQ(message.wParam, i);
    EXPECT_EQ(message.lParam, -LPARAM(i));
    received.Clear();
    DispatchMessageW(&message);
    auto log = received.Of(hwnd);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].message, message.message);
  }
}

TEST_F(WindowsTest, FiltersSelectByWindowAndMessageRange) {
  HWND a = Own(Create(u"a"));
  HWND b = Own(Create(u"b"));
  struct Case {
    HWND hwnd;
    UINT first, last;
    HWND expectedWindow;
    UINT expectedMessage;
  };
  const Case cases[] = {{nullptr, 0, 0, a, WM_USER + 10},
                        {b, 0, 0, b, WM_USER + 11},
                        {nullptr, WM_USER + 15, WM_USER + 25, a, WM_USER + 20},
                        {reinterpret_cast<HWND>(-1), 0, 0, nullptr, WM_USER + 12},
                        {a, WM_USER + 11, WM_USER + 12, nullptr, 0}};
  for (const Case &c : cases) {
    PostMessageW(a, WM_USER + 10, 0, 0);
    PostMessageW(b, WM_USER + 11, 0, 0);
    PostMessageW(nullptr, WM_USER + 12, 0, 0);  // to the thread itself
    PostMessageW(a, WM_USER + 20, 0, 0);
    MSG message{};
    BOOL found = PeekMessageW(&message, c.hwnd, c.first, c.last, PM_REMOVE);
    EXPECT_EQ(found, c.expectedMessage != 0);
    if (found) {
      EXPECT_EQ(message.hwnd, c.expectedWindow);
      EXPECT_EQ(message.message, c.expectedMessage);
    }
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
}

TEST_F(WindowsTest, PeekWithoutRemoveLeavesTheMessageAndAnEmptyQueueAnswersAtOnce) {
  HWND hwnd = Own(Create(u"peek"));
  MSG message{};
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  PostMessageW(hwnd, kDouble, 5, 0);
  ASSERT_TRUE(PeekMessageW(&message, hwnd, 0, 0, PM_NOREMOVE));
  ASSERT_TRUE(PeekMessageW(&message, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.wParam, 5u);
  EXPECT_FALSE(PeekMessageW(&message, hwnd, 0, 0, PM_REMOVE));
}

TEST_F(WindowsTest, QuitComesAfterThePostedMessagesAndOnlyToUnfilteredTakers) {
  HWND hwnd = Own(Create(u"quitting"));
  PostMessageW(hwnd, kDouble, 0, 0);
  PostQuitMessage(7);
  MSG message{};
  EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
  EXPECT_EQ(message.message, kDouble);
  EXPECT_FALSE(PeekMessageW(&message, hwnd, 0, 0, PM_REMOVE));  // the quit is the thread's, not the window's
  EXPECT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), FALSE);
  EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(message.wParam, 7u);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
}

// A thread message reaches the thread's queue with no window; a posted WM_QUIT ends its loop.
TEST_F(WindowsTest, PostThreadMessageReachesAThreadThatTakesMessages) {
  std::promise<DWORD> started;
  std::vector<UINT> taken;
  std::thread taker([&] {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    started.set_value(GetCurrentThreadId());
    while (GetMessageW(&message, nullptr, 0, 0) > 0) taken.push_back(message.hwnd == nullptr ? message.message : 0);
  });
  const DWORD id = started.get_future().get();
  EXPECT_TRUE(PostThreadMessageW(id, WM_USER + 7, 1, 2));
  EXPECT_TRUE(PostThreadMessageW(id, WM_QUIT, 0, 0));
  taker.join();
  EXPECT_EQ(taken, (std::vector<UINT>{WM_USER + 7}));
  EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0)) << "a thread that ended took a message";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

// The screen is the device root's HKLM\Platform\Display, 800 x 480 without it.
TEST_F(WindowsTest, TheScreenSizeComesFromTheDeviceRootsRegistry) {
  struct Case {
    const char *hive;
    int width, height;
  };
  const Case cases[] = {
      {"", 800, 480},
      {"[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Width\"=dword:00000400\n\"Height\"=dword:00000258\n", 1024, 600},
      {"[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Width\"=\"wide\"\n\"Height\"=dword:00000000\n", 800, 480},
  };
  for (const Case &c : cases) {
    testing_support::TempDeviceRoot root;  // a new root: the size is read again
    root.WriteHive(c.hive);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), c.width) << c.hive;
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), c.height) << c.hive;
    RECT area{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0));
    EXPECT_EQ(area.right, c.width);
    EXPECT_EQ(area.bottom, c.height);
  }
}

TEST_F(WindowsTest, AFullQueueRefusesFurtherPostsWithNotEnoughQuota) {
  HWND hwnd = Own(Create(u"flooded"));
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(PostMessageW(hwnd, kDouble, 0, 0)) << i;
  EXPECT_FALSE(PostMessageW(hwnd, kDouble, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
}

TEST_F(WindowsTest, PostFromAnotherThreadWakesTheOwnerBlockedInGetMessage) {
  PumpThread pump;
  ASSERT_TRUE(PostMessageW(pump.hwnd(), WM_USER + 40, 4, 2));
  auto entry = received.WaitFor(pump.hwnd(), WM_USER + 40);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->wParam, 4u);
  EXPECT_EQ(entry->lParam, 2);
  EXPECT_EQ(entry->thread, pump.id());
}

// --- Sending --------------------------------------------------------------------------------------

TEST_F(WindowsTest, SendMessageRunsTheProcedureOnTheOwnerThreadAndReturnsItsResult) {
  HWND mine = Own(Create(u"direct"));
  EXPECT_EQ(SendMessageW(mine, kDouble, 21, 0), 42);
  MSG message;
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));  // not queued on the owner thread
  PumpThread pump;
  HWND hwnd = pump.hwnd();
  EXPECT_EQ(Bounded([hwnd] { return SendMessageW(hwnd, kDouble, 50, 0); }), 100);
  auto entry = received.WaitFor(hwnd, kDouble);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->thread, pump.id());
}

TEST_F(WindowsTest, ThreadsSendingToEachOtherServeEachOtherWhileWaiting) {
  PumpThread pump;
  HWND pumped = pump.hwnd();
  // This thread's window is asked for kDouble by the pump thread while this thread waits in
  // SendMessageW for the pump thread's answer to kRelay.
  LRESULT result = Bounded([pumped] {
    HWND mine = Create(u"relay target");
    LRESULT answer = SendMessageW(pumped, kRelay, reinterpret_cast<WPARAM>(mine), 21);
    DestroyWindow(mine);
    return answer;
  });
  EXPECT_EQ(result, 43);
}

// --- Publication on the device root ----------------------------------------------------------------

TEST_F(WindowsTest, TopLevelWindowHasARecordWithItsEscapedNamesWhileItExists) {
  HWND hwnd = Create(u"two\nlines \\ one", u"windowsTEST");
  ASSERT_NE(hwnd, nullptr);
  HWND child = Own(Create(u"child", kClass, hwnd, WS_CHILD));
  std::string record = testing_support::ReadFile(RecordPath(hwnd));
  EXPECT_EQ(record.rfind("class=WindowsTest\nname=two\\nlines \\\\ one\nstate=0 1 0 ", 0), 0u) << record;
  EXPECT_EQ(record.substr(record.size() - 11), " 0 0 10 10\n") << "hidden, enabled, not topmost, its rectangle";
  // The record follows what the window shows of itself.
  SetWindowTextW(hwnd, u"renamed");
  SetWindowPos(hwnd, HWND_TOPMOST, 5, 6, 20, 30, SWP_SHOWWINDOW);
  record = testing_support::ReadFile(RecordPath(hwnd));
  EXPECT_EQ(record.rfind("class=WindowsTest\nname=renamed\nstate=1 1 1 ", 0), 0u) << record;
  EXPECT_EQ(record.substr(record.size() - 11), " 5 6 25 36\n") << record;
  EXPECT_FALSE(RecordExists(child));
  struct stat info {};
  EXPECT_EQ(stat((root_.path() + "/run/windows." + std::to_string(getpid())).c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  DestroyWindow(hwnd);
  EXPECT_FALSE(RecordExists(hwnd));
}

// Somebody else's entry at this process's socket name (here a folder that cannot be removed) does
// not keep its windows from being published: the socket takes a name with a random part, which
// the record names.
TEST_F(WindowsTest, AProcessWhoseNamesAreTakenPublishesUnderOthers) {
  const std::string taken = root_.path() + "/run/windows." + std::to_string(getpid());
  ASSERT_EQ(mkdir((root_.path() + "/run").c_str(), 0755) == 0 || errno == EEXIST, true);
  ASSERT_EQ(mkdir(taken.c_str(), 0755), 0);
  testing_support::WriteFile(taken + "/inside", "");
  HWND hwnd = Create(u"published", kClass);
  ASSERT_NE(hwnd, nullptr) << GetLastError();
  const std::string record = testing_support::ReadFile(RecordPath(hwnd));
  const size_t at = record.find("socket=windows." + std::to_string(getpid()) + ".");
  ASSERT_NE(at, std::string::npos) << record;
  EXPECT_TRUE(platform::gwes::IsPublishedWindow(hwnd)) << "the record's socket does not reach the window";
  // The record's rewrites go on with anything in the way of a temporary name told from its own.
  const std::string recordName = RecordPath(hwnd).substr(RecordPath(hwnd).rfind('/') + 1);
  const std::string squatted = root_.path() + "/run/." + recordName;
  ASSERT_EQ(mkdir(squatted.c_str(), 0755), 0);
  testing_support::WriteFile(squatted + "/inside", "");
  ShowWindow(hwnd, SW_SHOW);
  EXPECT_NE(testing_support::ReadFile(RecordPath(hwnd)).find("state=1 "), std::string::npos)
      << testing_support::ReadFile(RecordPath(hwnd));
  DestroyWindow(hwnd);
  for (const std::string &folder : {taken, squatted}) {
    unlink((folder + "/inside").c_str());
    rmdir(folder.c_str());
  }
}

TEST_F(WindowsTest, CreateWindowFailsWhenTheWindowCannotBePublished) {
  std::string file = root_.path() + "/plain-file";
  testing_support::WriteFile(file, "");
  struct Case {
    std::string root;
    DWORD error;
  };
  const Case cases[] = {{root_.path() + "/" + std::string(120, 'x'), ERROR_FILENAME_EXCED_RANGE},
                        {file, ERROR_PATH_NOT_FOUND}};
  for (const Case &c : cases) {
    platform::SetDeviceRoot(c.root);
    EXPECT_EQ(Create(u"unpublishable"), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  platform::SetDeviceRoot(root_.path());
  EXPECT_EQ(FindWindowW(nullptr, u"unpublishable"), nullptr);
}

TEST_F(WindowsTest, WithoutADeviceRootWindowsWorkWithinTheProcess) {
  platform::SetDeviceRoot("");
  unsetenv("DEVICE_ROOT");
  HWND hwnd = Own(Create(u"private"));
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(FindWindowW(kClass, u"private"), hwnd);
  ASSERT_TRUE(PostMessageW(hwnd, kDouble, 3, 0));
  MSG message{};
  EXPECT_TRUE(PeekMessageW(&message, hwnd, 0, 0, PM_REMOVE));
  EXPECT_FALSE(RecordExists(hwnd));
}

// Records as another process would leave them, for process ids no real process has.
class PublishedRecordTest : public WindowsTest {
 protected:
  static constexpr uintptr_t kProcess = 0x3FFFFFF0;

  static HWND Handle(uint32_t number, uintptr_t process = kProcess) {
    return reinterpret_cast<HWND>((process << 32) | number);
  }
  HWND WriteRecord(uint32_t number, const std::string &text, uintptr_t process = kProcess) {
    HWND hwnd = Handle(number, process);
    testing_support::WriteFile(RecordPath(hwnd), text);
    return hwnd;
  }
  std::string Run() const { return root_.path() + "/run"; }
  std::string SocketPath(uintptr_t process = kProcess) const { return Run() + "/windows." + std::to_string(process); }
  // A datagram socket bound at path, closed with the test.
  int Bind(const std::string &path) {
    mkdir(Run().c_str(), 0755);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0) << path;
    sockets_.push_back(fd);
    return fd;
  }
  // Binds the process's socket; with `keep` false the socket file stays but nobody listens.
  void Listen(bool keep) {
    int fd = Bind(SocketPath());
    if (!keep) {
      close(fd);
      sockets_.pop_back();
    }
  }
  // The magic numbers of the datagrams waiting at a socket: "NWM1" a posted message, "NWI1" a
  // pointer event.
  static std::vector<uint32_t> Waiting(int fd) {
    std::vector<uint32_t> magic;
    char datagram[64];
    for (ssize_t got; (got = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT)) >= 4;) {
      uint32_t value;
      std::memcpy(&value, datagram, sizeof value);
      magic.push_back(value);
    }
    return magic;
  }
  static size_t Said(const std::vector<std::string> &messages, const std::string &text) {
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(),
                                             [&](const std::string &m) { return m.find(text) != std::string::npos; }));
  }
  void TearDown() override {
    for (int fd : sockets_) close(fd);
    WindowsTest::TearDown();
  }
  std::vector<int> sockets_;
};

constexpr uint32_t kPosted = 0x314D574E, kPointer = 0x3149574E;

TEST_F(PublishedRecordTest, RecordsOfALiveProcessAreFoundUnescapedAndMalformedOnesSkippedWithOneLineEach) {
  Listen(true);
  HWND odd = WriteRecord(3, "class=Odd\nname=two\\nlines \\\\ one\n");
  struct Case {
    uint32_t number;
    std::string text;  // empty: made by `make`
    const char *why;
    std::function<void(const std::string &path)> make = nullptr;
  };
  const std::string good = "class=Bad\nname=bad\n";
  const Case cases[] = {
      {1, "class=Bad\nname=no final newline", "its last line has no end"},
      {2, "name=no class\n", "it has no class= line"},
      {4, "class=Bad\n", "it has no name= line"},
      {5, good + "owner=me\n", "line 3 is not class=, name=, state= or socket="},
      {6, good + "name=again\n", "line 3 repeats name="},
      {7, "class=Bad\nname=bad\\x\n", "line 2 has a bad escape or is not UTF-8"},
      {8, "class=Bad\nname=bad\\\n", "line 2 has a bad escape or is not UTF-8"},
      {9, "class=Bad\xff\nname=bad\n", "line 1 has a bad escape or is not UTF-8"},
      {10, good + "state=2 1 0 1 0 0 10 10\n", "line 3 is not VISIBLE ENABLED TOPMOST Z LEFT TOP RIGHT BOTTOM"},
      {11, good + "state=1 1 0 1 0 0 10 2147483648\n", "line 3 is not VISIBLE"},
      {12, good + "state=1 1 0 1 0 0 10\n", "line 3 is not VISIBLE"},
      {13, good + "state=1 1 0 1 0 0 10 10 \n", "line 3 is not VISIBLE"},
      {14, good + "state=1 1 0 -1 0 0 10 10\n", "line 3 is not VISIBLE"},
      {15, "class=Bad\nname=" + std::string(70000, 'x') + "\n", "it is larger than 65536 bytes"},
      {16, "", "it is a symbolic link",
       [&](const std::string &path) { symlink(RecordPath(odd).c_str(), path.c_str()); }},
      {17, "", "it is not a regular file", [](const std::string &path) { mkfifo(path.c_str(), 0644); }},
      {18, "", "it is not a regular file", [](const std::string &path) { mkdir(path.c_str(), 0755); }},
  };
  for (const Case &c : cases) {
    if (c.make) c.make(RecordPath(Handle(c.number)));
    else WriteRecord(c.number, c.text);
  }
  testing_support::DebugCapture capture;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(FindWindowW(u"ODD", nullptr), odd);
    EXPECT_EQ(FindWindowW(nullptr, u"TWO\nLINES \\ ONE"), odd);
    EXPECT_EQ(FindWindowW(u"Bad", nullptr), nullptr);
    EXPECT_EQ(FindWindowW(nullptr, u"no class"), nullptr);
  }
  for (const Case &c : cases) {
    EXPECT_EQ(Said(capture.messages, "windows_test: ignoring the window record " + RecordPath(Handle(c.number)) + ": " +
                                         c.why),
              1u)
        << c.why;
    EXPECT_FALSE(IsWindow(Handle(c.number))) << c.why;
    EXPECT_FALSE(PostMessageW(Handle(c.number), WM_RBUTTONDOWN, 0, 0)) << c.why;
  }
  EXPECT_EQ(capture.messages.size(), std::size(cases)) << "a bad record was said more than once";
  EXPECT_TRUE(IsWindow(odd));
  EXPECT_TRUE(PostMessageW(odd, WM_RBUTTONDOWN, 0, 0));
  EXPECT_EQ(SendMessageW(odd, kDouble, 1, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(DestroyWindow(odd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// A window socket that is not the socket of whoever wrote the window's record: a link to another
// socket (the journal's, say), or a socket of another user. Nothing is sent to it, neither posted
// messages nor pointer events of the "windows" output, while an honest window beside it gets both.
TEST_F(PublishedRecordTest, NothingIsSentToASocketThatIsNotTheRecordOwnersOwn) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n");
  constexpr uintptr_t kHostile = kProcess + 1;
  const int honest = Bind(SocketPath());
  HWND window = WriteRecord(1, "class=Honest\nname=Honest\nstate=1 1 0 1 0 0 400 480\n");
  struct Case {
    const char *what;
    std::function<int()> make;  // makes the hostile socket; returns what would receive
    std::string why;
    bool needsRoot = false;
  };
  const Case cases[] = {
      {"link to another socket",
       [&] {
         int journal = Bind(root_.path() + "/journal");
         symlink((root_.path() + "/journal").c_str(), SocketPath(kHostile).c_str());
         return journal;
       },
       "it is a symbolic link, not a socket"},
      {"socket of another user",
       [&] {
         int theirs = Bind(SocketPath(kHostile));
         chown(SocketPath(kHostile).c_str(), 61000, 61000);
         return theirs;
       },
       "it belongs to uid 61000, but the record window." + std::to_string(kHostile) + ".1 to ", true},
      // A record left by a process that is gone, and one written with no process behind it.
      {"socket nobody listens on",
       [&] {
         close(Bind(SocketPath(kHostile)));
         sockets_.pop_back();
         return Bind(root_.path() + "/journal");
       },
       ""},
      {"no socket", [&] { return Bind(root_.path() + "/journal"); }, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && geteuid() != 0) continue;  // only root can give a socket away
    unlink(SocketPath(kHostile).c_str());
    unlink((root_.path() + "/journal").c_str());
    const int receiver = c.make();
    // On top of the honest window, over the whole screen.
    HWND hostile = WriteRecord(1, "class=Hostile\nname=Hostile\nstate=1 1 1 1 0 0 800 480\n", kHostile);
    platform::ResetPointerOutput();
    testing_support::DebugCapture capture;
    EXPECT_EQ(FindWindowW(u"Hostile", nullptr), nullptr);
    EXPECT_FALSE(IsWindow(hostile));
    EXPECT_FALSE(PostMessageW(hostile, WM_RBUTTONDOWN, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    // A tap beside the honest window, then on it: the hostile one takes neither, which leaves the
    // second to the honest window.
    for (DWORD dx : {49152u, 16384u})
      for (DWORD button : {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP})
        mouse_event(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | button, dx, 32768, 0, 0);
    EXPECT_TRUE(Waiting(receiver).empty()) << "the socket that is not the record owner's received";
    EXPECT_EQ(FindWindowW(u"Honest", nullptr), window);
    EXPECT_TRUE(PostMessageW(window, WM_RBUTTONDOWN, 0, 0));
    EXPECT_EQ(Waiting(honest), (std::vector<uint32_t>{kPointer, kPointer, kPosted}));
    const size_t lines = c.why.empty() ? 0 : 1;
    if (lines != 0) {
      EXPECT_EQ(Said(capture.messages, "windows_test: ignoring the window socket " + SocketPath(kHostile) + ": " + c.why),
                1u);
    }
    EXPECT_EQ(capture.messages.size(), lines);
  }
  platform::ResetPointerOutput();
}

// What a record says of its own order counts only as far as the platform could have given it: a
// front time later than now, or a member's topmost window over another user's, does not take the
// touches from the honest window under it; a user's windows past 64 are not looked at.
TEST_F(PublishedRecordTest, NoRecordPutsItselfOverAnotherUsersWindowByWhatItSays) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n");
  constexpr uintptr_t kOther = kProcess + 1;
  const int honest = Bind(SocketPath());
  WriteRecord(1, "class=Honest\nname=Honest\nstate=1 1 0 5000 0 0 800 480\n");
  struct Case {
    const char *what;
    std::string state;  // of the other process's records, over the whole screen
    uid_t owner;        // of its records and its socket; 0: this user
    int records;
    std::string why;
  };
  const Case cases[] = {
      {"a front time later than now", "state=1 1 1 18446744073709551615 0 0 800 480", 0, 1,
       "it says its window came to the front later than now"},
      {"another user's topmost window", "state=1 1 1 4000 0 0 800 480", 61000, 1, ""},
      {"a user's 65 windows, each under the honest one", "state=1 1 0 4000 0 0 800 480", 61000, 65,
       "uid 61000 shows more than 64 windows"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.owner != 0 && geteuid() != 0) continue;  // only root can give records away
    unlink(SocketPath(kOther).c_str());
    const int other = Bind(SocketPath(kOther));
    for (int number = 1; number <= c.records; ++number) {
      HWND hwnd = WriteRecord(static_cast<uint32_t>(number), "class=Other\nname=Other\n" + c.state + "\n", kOther);
      if (c.owner != 0) {
        ASSERT_EQ(chown(RecordPath(hwnd).c_str(), c.owner, c.owner), 0);
      }
    }
    if (c.owner != 0) {
      ASSERT_EQ(chown(SocketPath(kOther).c_str(), c.owner, c.owner), 0);
    }
    platform::ResetPointerOutput();
    testing_support::DebugCapture capture;
    for (DWORD button : {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP})
      mouse_event(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | button, 32768, 32768, 0, 0);
    EXPECT_TRUE(Waiting(other).empty()) << "the other process's window took the touch";
    EXPECT_EQ(Waiting(honest), (std::vector<uint32_t>{kPointer, kPointer}));
    if (c.why.empty()) EXPECT_TRUE(capture.messages.empty()) << capture.messages.front();
    else EXPECT_EQ(Said(capture.messages, c.why), 1u) << c.why;
    for (int number = 1; number <= c.records; ++number) unlink(RecordPath(Handle(number, kOther)).c_str());
  }
  platform::ResetPointerOutput();
}

// Only the driver's service, root and the window's own user may send to a window: what another
// user sends to this process's socket, a posted message or a pointer event, is dropped, said once.
TEST_F(WindowsTest, WhatAnotherUserSendsToAWindowIsDroppedWithOneLine) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can send as another user";
  HWND hwnd = Own(Create(u"target", kClass));
  ASSERT_NE(hwnd, nullptr);
  const std::string path = root_.path() + "/run/windows." + std::to_string(getpid());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(sender, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  struct {
    uint32_t magic, message;
    uint64_t window, wParam;
    int64_t lParam;
  } datagram{0x314D574E, kDouble, reinterpret_cast<uintptr_t>(hwnd), 0, 0};
  testing_support::DebugCapture capture;
  // The other user's messages first, on the socket connected by root: what counts is who sends.
  const pid_t child = fork();
  if (child == 0) {
    if (setuid(61000) != 0) _exit(9);
    datagram.wParam = 1;
    _exit(send(sender, &datagram, sizeof datagram, 0) == sizeof datagram ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  datagram.wParam = 2;
  ASSERT_EQ(send(sender, &datagram, sizeof datagram, 0), static_cast<ssize_t>(sizeof datagram));
  close(sender);
  MSG message{};
  const auto limit = std::chrono::steady_clock::now() + kBound;
  while (!PeekMessageW(&message, hwnd, kDouble, kDouble, PM_REMOVE) && std::chrono::steady_clock::now() < limit)
    std::this_thread::yield();
  EXPECT_EQ(message.wParam, 2u) << "root's message is the first to arrive";
  EXPECT_FALSE(PeekMessageW(&message, hwnd, kDouble, kDouble, PM_REMOVE));
  ASSERT_EQ(capture.messages.size(), 1u);
  EXPECT_NE(capture.messages[0].find("windows_test: dropped a message to its windows in " + root_.path() +
                                     "/run from uid 61000 (pid " + std::to_string(child) +
                                     "): only the driver's service, root and root may send to them"),
            std::string::npos)
      << capture.messages[0];
}

// The driver's read thread sends the touches: a window whose process stops reading loses them
// at once, said once, rather than holding the thread up for each.
TEST_F(PublishedRecordTest, AWindowThatReadsNothingLosesItsTouchesWithOneLine) {
  Listen(true);
  WriteRecord(1, "class=Stuck\nname=Stuck\nstate=1 1 0 1 0 0 800 480\n");
  platform::ResetPointerOutput();
  testing_support::DebugCapture capture;
  for (int i = 0; i < 2000; ++i)
    mouse_event(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | (i % 2 == 0 ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP),
                16384, 16384, 0, 0);
  EXPECT_EQ(Said(capture.messages, "takes no input (its queue is full)"), 1u);
  platform::ResetPointerOutput();
}

TEST_F(PublishedRecordTest, RecordsOfAProcessThatNoLongerListensAreIgnored) {
  Listen(false);
  HWND stale = WriteRecord(1, "class=Stale\nname=Stale\n");
  EXPECT_EQ(FindWindowW(u"Stale", u"Stale"), nullptr);
  EXPECT_FALSE(IsWindow(stale));
  EXPECT_FALSE(PostMessageW(stale, WM_RBUTTONDOWN, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

}  // namespace
