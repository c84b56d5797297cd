// DCB line fields to termios and back.
#include "serial_line_settings.h"

#include <array>
#include <utility>

namespace platform {
namespace {

// Every rate termios names, as bits per second and as its speed constant.
constexpr std::array<std::pair<DWORD, speed_t>, 30> kSpeeds{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

bool SpeedFor(DWORD baudRate, speed_t *speed) {
  for (const auto &[rate, constant] : kSpeeds) {
    if (rate == baudRate) {
      *speed = constant;
      return true;
    }
  }
  return false;
}

tcflag_t SizeFlag(BYTE byteSize) {
  switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

BYTE ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

bool FramingValid(const DCB &dcb) {
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > SPACEPARITY) return false;
  if (dcb.StopBits > TWOSTOPBITS) return false;
  // A UART sends one and a half stop bits only with 5-bit characters, and two only with longer ones.
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
  if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return false;
  return true;
}

}  // namespace

bool IsLineRate(DWORD baudRate) {
  speed_t speed;
  return SpeedFor(baudRate, &speed);
}

bool ApplyLineSettings(const DCB &dcb, termios *tio) {
  speed_t speed;
  if (!SpeedFor(dcb.BaudRate, &speed) || !FramingValid(dcb)) return false;
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);

  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  tio->c_cflag |= SizeFlag(dcb.ByteSize);
  switch (dcb.Parity) {
    case ODDPARITY: tio->c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio->c_cflag |= PARENB; break;
    case MARKPARITY: tio->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: tio->c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  // With 5-bit characters the UART turns CSTOPB into one and a half stop bits.
  if (dcb.StopBits != ONESTOPBIT) tio->c_cflag |= CSTOPB;
  return true;
}

void ReadLineSettings(const termios &tio, DCB *dcb) {
  speed_t speed = cfgetospeed(&tio);
  for (const auto &[rate, constant] : kSpeeds) {
    if (constant == speed) dcb->BaudRate = rate;
  }
  dcb->ByteSize = ByteSizeOf(tio.c_cflag);
  if ((tio.c_cflag & PARENB) == 0) {
    dcb->Parity = NOPARITY;
  } else if ((tio.c_cflag & CMSPAR) != 0) {
    dcb->Parity = (tio.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  } else {
    dcb->Parity = (tio.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
  }
  if ((tio.c_cflag & CSTOPB) == 0) dcb->StopBits = ONESTOPBIT;
  else dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
}

}  // namespace platform
