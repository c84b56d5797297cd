// DriverState: the driver's one process-wide state record, shared without a lock by the threads
// that call the stream entry points and the read thread. Every word the read thread shares with
// them is an atomic 32-bit word, so each access is whole and race-free.
#pragma once

#include <atomic>

#include <windows.h>

#include "driver_settings.h"
#include "norvik_registry.h"

// The live settings record: DriverSettings word for word, each word atomic. The reserved word is
// not kept: it is 0 in every copy taken.
struct LiveSettings {
  std::atomic<LONG> LLX{0};
  std::atomic<LONG> LLY{0};
  std::atomic<LONG> URX{0};
  std::atomic<LONG> URY{0};
  std::atomic<DWORD> BaudRate{0};
  std::atomic<DWORD> MouseMod{0};
  std::atomic<LONG> XInplace{0};
  std::atomic<LONG> YInplace{0};
  std::atomic<DWORD> SelDelay{0};
  std::atomic<DWORD> CliDelay{0};
  std::atomic<DWORD> TouSound{0};

  // A copy of the eleven words, with the reserved word 0.
  DriverSettings Copy() const;
  // Replaces the eleven words (offsets 4-47) from a record; its reserved word is ignored.
  void Assign(const DriverSettings &settings);
  // Stores one word, named by its offset in DriverSettings (as kNorvikValues gives it).
  void StoreWord(size_t offset, DWORD word);
};

static_assert(sizeof(std::atomic<DWORD>) == sizeof(DWORD) && std::atomic<DWORD>::is_always_lock_free,
              "settings words stay plain lock-free 32-bit words");

struct DriverState {
  HANDLE portHandle = nullptr;                       // open serial port, or null
  WCHAR portName[NORVIK_PORT_NAME_CHARS] = {};       // "COMM" as last loaded, always terminated
  LiveSettings settings;                             // the live settings record
  std::atomic<LONG> stopRequested{0};                // 1: the read thread must leave
  HANDLE threadExitEvent = nullptr;                  // set by the read thread as it leaves
  std::atomic<DWORD> reportCount{0};                 // complete reports since the last reset
  std::atomic<LONG> isOpen{0};                       // 1 while an open handle exists
  bool readThreadStarted = false;                    // a read thread was started and has not been waited for
};

extern DriverState driverState;
