// The device manager killed with SIGKILL a thousand times in the middle of a storm of settings
// writes through the device: after every kill the hive must still parse and hold one whole
// settings record, the last one acknowledged or the one in flight, never a mix of the two.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <windows.h>

#include "driver_settings.h"
#include "norvik_device.h"
#include "norvik_registry.h"
#include "process.h"
#include "scoped_descriptor.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Stream;

constexpr int kKills = NORVIK_STRESS_KILLS;
constexpr std::chrono::seconds kBound{20};  // generous: sanitizer builds start slowly

// Every word of the record written as write number `sequence`: valid for the driver, and
// different in every word from the records written just before and after it, so that a hive
// holding words of two writes matches neither. LLX and LLY also spell the number out.
DriverSettings Record(DWORD sequence) {
  static const DWORD kBaudRates[] = {9600, 19200, 38400, 57600, 115200};
  DriverSettings record{};
  record.LLX = static_cast<LONG>(sequence % 2048);
  record.LLY = static_cast<LONG>(sequence / 2048 % 2048);
  record.URX = static_cast<LONG>((sequence * 5 + 3) % 2048);
  record.URY = static_cast<LONG>((sequence * 7 + 1) % 2048);
  record.BaudRate = kBaudRates[sequence % 5];
  record.MouseMod = sequence % 4;
  record.XInplace = static_cast<LONG>(100 + sequence % 4999);
  record.YInplace = static_cast<LONG>(100 + sequence * 3 % 4999);
  record.SelDelay = 1 + sequence % 97;
  record.CliDelay = 1 + sequence % 89;
  record.TouSound = sequence % 3;
  return record;
}

bool SameRecord(const DriverSettings &a, const DriverSettings &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string Describe(const DriverSettings &record) {
  std::ostringstream text;
  text << "{LLX " << record.LLX << ", LLY " << record.LLY << ", URX " << record.URX << ", URY " << record.URY
       << ", BaudRate " << record.BaudRate << ", MouseMod " << record.MouseMod << ", XInplace " << record.XInplace
       << ", YInplace " << record.YInplace << ", SelDelay " << record.SelDelay << ", CliDelay " << record.CliDelay
       << ", TouSound " << record.TouSound << "}";
  return text.str();
}

// The settings record as the hive holds it, read through the registry calls; nothing, with what
// went wrong, when the hive does not parse or a word is missing or not a dword.
std::optional<DriverSettings> StoredRecord(std::string *problem) {
  HKEY key = nullptr;
  if (LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key)) {
    *problem = "the driver's key cannot be opened: error " + std::to_string(result);
    return std::nullopt;
  }
  DriverSettings record{};
  const std::pair<LPCWSTR, void *> words[] = {
      {NORVIK_VALUE_LLX, &record.LLX},
      {NORVIK_VALUE_LLY, &record.LLY},
      {NORVIK_VALUE_URX, &record.URX},
      {NORVIK_VALUE_URY, &record.URY},
      {NORVIK_VALUE_BAUD_RATE, &record.BaudRate},
      {NORVIK_VALUE_MOUSE_MOD, &record.MouseMod},
      {NORVIK_VALUE_X_INPLACE, &record.XInplace},
      {NORVIK_VALUE_Y_INPLACE, &record.YInplace},
      {NORVIK_VALUE_SEL_DELAY, &record.SelDelay},
      {NORVIK_VALUE_CLI_DELAY, &record.CliDelay},
      {NORVIK_VALUE_TOU_SOUND, &record.TouSound},
  };
  bool whole = true;
  for (const auto &[name, word] : words) {
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    if (RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE *>(word), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(DWORD))
      whole = false;
  }
  // The rest of the key must survive every rewrite of the settings words.
  WCHAR dll[32] = {};
  DWORD dllSize = sizeof dll;
  bool dllKept =
      RegQueryValueExW(key, TEXT("Dll"), nullptr, nullptr, reinterpret_cast<BYTE *>(dll), &dllSize) == ERROR_SUCCESS &&
      std::u16string(dll) == u"norvik.dll";
  RegCloseKey(key);
  if (!whole) *problem = "a settings word is missing or not a dword";
  if (!dllKept) *problem = "the key's \"Dll\" value was lost";
  if (!whole || !dllKept) return std::nullopt;
  return record;
}

size_t TemporariesLeftIn(const std::string &directory) {
  size_t count = 0;
  for (const auto &entry : std::filesystem::directory_iterator(directory))
    count += entry.path().filename().string().rfind("registry.reg.tmp-", 0) == 0;
  return count;
}

// Where in the storm the kill lands: after a number of acknowledged writes, or as the device
// manager reaches a step of replacing the hive (seen through inotify on the device root).
struct KillPoint {
  const char *name;
  uint32_t fileEvent;    // 0: count acknowledged writes instead
  const char *fileName;  // the name the event must carry, or its beginning when it ends in '-'
};

const KillPoint kKillPoints[] = {
    {"acknowledged", 0, ""},
    {"new_hive_created", IN_CREATE, "registry.reg.tmp-"},
    {"new_hive_synced", IN_CLOSE_WRITE, "registry.reg.tmp-"},
    {"hive_replaced", IN_MOVED_TO, "registry.reg"},
};
constexpr size_t kKillPointCount = sizeof kKillPoints / sizeof kKillPoints[0];

bool Matches(const KillPoint &point, const inotify_event &event) {
  if ((event.mask & point.fileEvent) == 0 || event.len == 0) return false;
  std::string name = event.name;
  std::string wanted = point.fileName;
  return wanted.back() == '-' ? name.rfind(wanted, 0) == 0 : name == wanted;
}

// One life of the device manager: started on the root, its device opened, and a thread writing
// records back to back through the device until a call fails. Destroying it kills the device
// manager (if still alive) and then waits for the writer.
class WritingRound {
 public:
  WritingRound(const std::string &root, std::atomic<DWORD> &sequence, int acknowledgements)
      : sequence_(sequence), acknowledgements_(acknowledgements) {
    devmgr_ = std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/devmgr", std::vector<std::string>{"--root", root});
  }

  ~WritingRound() {
    devmgr_->Signal(SIGKILL);
    if (writer_.joinable()) writer_.join();
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
  }

  WritingRound(const WritingRound &) = delete;
  WritingRound &operator=(const WritingRound &) = delete;

  // Waits for the device, opens it and starts writing; false, with the reason, when it could not.
  bool Start(std::string *problem) {
    if (!devmgr_->WaitForLine(Stream::kStdout, "NRV1: published", kBound)) {
      *problem = "devmgr did not publish NRV1:: " + devmgr_->Output(Stream::kStderr);
      return false;
    }
    device_ = CreateFileW(NORVIK_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) {
      *problem = "cannot open NRV1:, error " + std::to_string(GetLastError());
      return false;
    }
    writer_ = std::thread([this] { Write(); });
    return true;
  }

  // Kills the device manager and waits until it and the writer are gone; false when it did not
  // die of the kill.
  bool Kill() {
    killed_ = true;
    if (!devmgr_->Signal(SIGKILL)) return false;
    auto exit = devmgr_->WaitForExit(kBound);
    writer_.join();
    return exit && exit->signal == SIGKILL;
  }

  DWORD lastSent() const { return lastSent_; }
  DWORD lastAcknowledged() const { return lastAcknowledged_; }
  int acknowledged() const { return acknowledged_; }
  // A write that failed while the device manager was still meant to be alive, or 0.
  DWORD unexpectedError() const { return unexpectedError_; }

 private:
  void Write() {
    for (;;) {
      const DWORD sequence = ++sequence_;
      lastSent_ = sequence;
      DriverSettings record = Record(sequence);
      if (!DeviceIoControl(device_, IOCTL_NRV_SET_SETTINGS, &record, sizeof record, nullptr, 0, nullptr, nullptr)) {
        if (!killed_) unexpectedError_ = GetLastError();
        break;
      }
      lastAcknowledged_ = sequence;
      ++acknowledged_;
      uint64_t one = 1;
      ssize_t written = write(acknowledgements_, &one, sizeof one);
      (void)written;  // a full counter still wakes the waiter
    }
    uint64_t one = 1;
    ssize_t written = write(acknowledgements_, &one, sizeof one);
    (void)written;
  }

  std::atomic<DWORD> &sequence_;
  const int acknowledgements_;
  std::unique_ptr<ChildProcess> devmgr_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
  std::thread writer_;
  std::atomic<bool> killed_{false};
  std::atomic<DWORD> lastSent_{0};
  std::atomic<DWORD> lastAcknowledged_{0};
  std::atomic<int> acknowledged_{0};
  std::atomic<DWORD> unexpectedError_{0};
};

using testing_support::ScopedDescriptor;

void Discard(int fd) {
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

// Waits until the round reaches the kill point for the `occurrence`th time; false when the
// writer stopped first or the bound ran out.
bool WaitForKillPoint(const KillPoint &point, int occurrence, int fileEvents, int acknowledgements,
                      const WritingRound &round) {
  int seen = 0;
  auto deadline = std::chrono::steady_clock::now() + kBound;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd watched[] = {{fileEvents, POLLIN, 0}, {acknowledgements, POLLIN, 0}};
    if (poll(watched, 2, static_cast<int>(left.count())) < 0) continue;
    if (watched[0].revents != 0) {
      alignas(inotify_event) char buffer[4096];
      ssize_t n = read(fileEvents, buffer, sizeof buffer);
      for (ssize_t offset = 0; offset < n;) {
        const auto &event = *reinterpret_cast<const inotify_event *>(buffer + offset);
        if (point.fileEvent != 0 && Matches(point, event) && ++seen >= occurrence) return true;
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
    if (watched[1].revents != 0) {
      Discard(acknowledgements);
      if (round.unexpectedError() != 0) return false;
      if (point.fileEvent == 0 && round.acknowledged() >= occurrence) return true;
    }
  }
}

struct KillPointFigures {
  int kills = 0;
  int inFlightFound = 0;    // the hive held the write that was not yet acknowledged
  int temporariesLeft = 0;  // the kill left a half-made hive file behind
};

TEST(SettingsCrashStress, KilledDeviceManagerAlwaysLeavesOneWholeSettingsRecord) {
  testing_support::TempDeviceRoot root;
  root.WriteHive(testing_support::DefaultInstallation());
  std::string problem;
  std::optional<DriverSettings> onDisk = StoredRecord(&problem);
  ASSERT_TRUE(onDisk) << problem;

  ScopedDescriptor fileEvents(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_GE(fileEvents.fd, 0);
  ASSERT_GE(inotify_add_watch(fileEvents.fd, root.path().c_str(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO), 0);
  ScopedDescriptor acknowledgements(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  ASSERT_GE(acknowledgements.fd, 0);

  std::atomic<DWORD> sequence{0};
  KillPointFigures figures[kKillPointCount];
  int kills = 0;
  long writesAcknowledged = 0;
  int checksPassed = 0;
  for (; kills < kKills; ++kills) {
    const size_t pointIndex = static_cast<size_t>(kills) % kKillPointCount;
    const KillPoint &point = kKillPoints[pointIndex];
    const int occurrence = 1 + kills / static_cast<int>(kKillPointCount) % 3;
    SCOPED_TRACE("kill " + std::to_string(kills) + " at " + point.name + " #" + std::to_string(occurrence));
    Discard(fileEvents.fd);
    Discard(acknowledgements.fd);

    WritingRound round(root.path(), sequence, acknowledgements.fd);
    ASSERT_TRUE(round.Start(&problem)) << problem;
    ASSERT_TRUE(WaitForKillPoint(point, occurrence, fileEvents.fd, acknowledgements.fd, round))
        << "the writes stopped before the kill, error " << round.unexpectedError();
    ASSERT_TRUE(round.Kill());
    writesAcknowledged += round.acknowledged();

    const DriverSettings before = round.acknowledged() > 0 ? Record(round.lastAcknowledged()) : *onDisk;
    const bool inFlight = round.lastSent() != round.lastAcknowledged();
    std::optional<DriverSettings> stored = StoredRecord(&problem);
    ASSERT_TRUE(stored) << problem << "\n" << root.ReadHive();
    const bool isInFlight = inFlight && SameRecord(*stored, Record(round.lastSent()));
    ASSERT_TRUE(SameRecord(*stored, before) || isInFlight)
        << "the hive holds " << Describe(*stored) << "\nlast acknowledged: " << Describe(before)
        << (inFlight ? "\nin flight: " + Describe(Record(round.lastSent())) : std::string());
    ++checksPassed;
    ++figures[pointIndex].kills;
    figures[pointIndex].inFlightFound += isInFlight;
    figures[pointIndex].temporariesLeft += TemporariesLeftIn(root.path()) > 0;
    onDisk = stored;
  }

  std::ostringstream line;
  line << "kills=" << kills << " writes_acknowledged=" << writesAcknowledged
       << " registry_checks_passed=" << checksPassed;
  for (size_t i = 0; i < kKillPointCount; ++i)
    line << " " << kKillPoints[i].name << "=" << figures[i].kills << "/in_flight_found:" << figures[i].inFlightFound
         << "/temporaries_left:" << figures[i].temporariesLeft;
  RecordProperty("figures", line.str());
  std::cout << "settings crash stress: " << line.str() << std::endl;
}

}  // namespace
