// The line fields of a DCB in termios: which values are refused, the bits each one sets, and the
// way back.
#include <gtest/gtest.h>

#include <cstring>

#include "serial_line_settings.h"

namespace {

DCB Line(DWORD baudRate, BYTE byteSize, BYTE parity, BYTE stopBits) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = baudRate;
  dcb.ByteSize = byteSize;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  return dcb;
}

// A tty in use: raw 8N1 at 9600 with settings of its own that the line fields must not touch.
termios InUse() {
  termios tio{};
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tio.c_cflag |= CLOCAL | CREAD | CRTSCTS;
  tio.c_iflag |= IXOFF;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tio;
}

TEST(SerialLineSettings, EachFieldSetsItsTermiosBitsAndReadsBackTheSame) {
  struct Case {
    DCB dcb;
    speed_t speed;
    tcflag_t size;
    tcflag_t parity;  // of PARENB | PARODD | CMSPAR
    bool cstopb;
  };
  for (const Case &c : {
           Case{Line(9600, 8, NOPARITY, ONESTOPBIT), B9600, CS8, 0, false},
           Case{Line(50, 7, EVENPARITY, ONESTOPBIT), B50, CS7, PARENB, false},
           Case{Line(115200, 7, ODDPARITY, TWOSTOPBITS), B115200, CS7, PARENB | PARODD, true},
           Case{Line(19200, 6, MARKPARITY, TWOSTOPBITS), B19200, CS6, PARENB | PARODD | CMSPAR, true},
           Case{Line(4000000, 8, SPACEPARITY, ONESTOPBIT), B4000000, CS8, PARENB | CMSPAR, false},
           Case{Line(110, 5, NOPARITY, ONE5STOPBITS), B110, CS5, 0, true},
           Case{Line(921600, 5, EVENPARITY, ONESTOPBIT), B921600, CS5, PARENB, false},
       }) {
    SCOPED_TRACE(testing::Message() << c.dcb.BaudRate << " " << int(c.dcb.ByteSize) << " parity "
                                    << int(c.dcb.Parity) << " stop " << int(c.dcb.StopBits));
    termios tio = InUse();
    ASSERT_TRUE(platform::ApplyLineSettings(c.dcb, &tio));
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.cstopb);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u) << "flow control is not a line field";
    EXPECT_NE(tio.c_iflag & IXOFF, 0u) << "flow control is not a line field";
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);

    DCB back = Line(0, 0, 0, 0);
    platform::ReadLineSettings(tio, &back);
    EXPECT_EQ(back.BaudRate, c.dcb.BaudRate);
    EXPECT_EQ(back.ByteSize, c.dcb.ByteSize);
    EXPECT_EQ(back.Parity, c.dcb.Parity);
    EXPECT_EQ(back.StopBits, c.dcb.StopBits);
  }
}

TEST(SerialLineSettings, ValuesNoTtyCanTakeAreRefusedAndChangeNothing) {
  for (const DCB &bad : {
           Line(0, 8, NOPARITY, ONESTOPBIT),
           Line(12345, 8, NOPARITY, ONESTOPBIT),
           Line(14400, 8, NOPARITY, ONESTOPBIT),
           Line(4000001, 8, NOPARITY, ONESTOPBIT),
           Line(9600, 4, NOPARITY, ONESTOPBIT),
           Line(9600, 9, NOPARITY, ONESTOPBIT),
           Line(9600, 8, 5, ONESTOPBIT),
           Line(9600, 8, NOPARITY, 3),
           Line(9600, 8, NOPARITY, ONE5STOPBITS),
           Line(9600, 6, NOPARITY, ONE5STOPBITS),
           Line(9600, 5, NOPARITY, TWOSTOPBITS),
       }) {
    termios tio = InUse();
    const termios before = tio;
    EXPECT_FALSE(platform::ApplyLineSettings(bad, &tio))
        << bad.BaudRate << " " << int(bad.ByteSize) << " parity " << int(bad.Parity) << " stop " << int(bad.StopBits);
    EXPECT_EQ(std::memcmp(&tio, &before, sizeof tio), 0) << "a refused DCB changed the termios settings";
  }
}

TEST(SerialLineSettings, SpeedWithoutARateKeepsTheBaudRateAsItWas) {
  termios tio = InUse();
  cfsetospeed(&tio, B0);
  DCB dcb = Line(57600, 0, 0, 0);
  platform::ReadLineSettings(tio, &dcb);
  EXPECT_EQ(dcb.BaudRate, 57600u);
  EXPECT_EQ(dcb.ByteSize, 8);
}

}  // namespace
