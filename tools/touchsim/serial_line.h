// The sending end of the serial line: a new pseudo-terminal (whose other end stands for the
// device's serial port) or an existing tty, with bytes paced at a line rate.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace touchsim {

class SerialLine {
 public:
  SerialLine() = default;
  ~SerialLine();
  SerialLine(const SerialLine &) = delete;
  SerialLine &operator=(const SerialLine &) = delete;

  // Opens a new pseudo-terminal in raw mode; path() is the end a port is mapped to. The line is
  // held open, so bytes wait in it until a port reads them.
  bool OpenPseudoTerminal(std::string *error);
  // Opens an existing tty (or pseudo-terminal end) for writing, raw, at the line rate if it can.
  // Refuses a path that is not a tty (a plain file, /dev/null), setting *notATty: nothing would
  // read what is written there.
  bool OpenTty(const std::string &path, uint32_t baud, std::string *error, bool *notATty);
  const std::string &path() const { return path_; }

  // Line rate in bits per second, 8N1 (ten bit times a byte); 0 sends as fast as the line takes.
  void SetBaud(uint32_t baud) { baud_ = baud; }
  // Sends bytes, no faster than the line rate. False (with the reason) when writing failed or
  // was interrupted.
  bool Send(const std::string &bytes, std::string *error);
  // Sends nothing for the given time; the line rate's schedule moves on from its end.
  void Pause(uint32_t milliseconds);
  // For a pseudo-terminal: waits until the port has read every byte sent, at most the given
  // time. Returns the number of bytes still unread.
  size_t Drain(uint32_t milliseconds);

 private:
  int writeFd_ = -1;
  int holdFd_ = -1;  // the port's end, held open while we run (pseudo-terminals only)
  std::string path_;
  uint32_t baud_ = 9600;
  std::chrono::steady_clock::time_point next_{};
};

// From here on, StopRequested() looks at `stopSignals` (platform::OpenStopSignalDescriptor): the
// signals stay pending there, so one that arrived while touchsim was frozen is seen before the
// next byte is written.
void WatchStopSignals(int stopSignals);
// True once SIGINT or SIGTERM has arrived; Send, Pause and Drain stop early then.
bool StopRequested();

}  // namespace touchsim
