// The driver state record and the copies in and out of its live settings.
#include "driver_state.h"

DriverState driverState;

DriverSettings LiveSettings::Copy() const {
  DriverSettings copy{};
  copy.reserved = 0;
  copy.LLX = LLX;
  copy.LLY = LLY;
  copy.URX = URX;
  copy.URY = URY;
  copy.BaudRate = BaudRate;
  copy.MouseMod = MouseMod;
  copy.XInplace = XInplace;
  copy.YInplace = YInplace;
  copy.SelDelay = SelDelay;
  copy.CliDelay = CliDelay;
  copy.TouSound = TouSound;
  return copy;
}

void LiveSettings::Assign(const DriverSettings &settings) {
  LLX = settings.LLX;
  LLY = settings.LLY;
  URX = settings.URX;
  URY = settings.URY;
  BaudRate = settings.BaudRate;
  MouseMod = settings.MouseMod;
  XInplace = settings.XInplace;
  YInplace = settings.YInplace;
  SelDelay = settings.SelDelay;
  CliDelay = settings.CliDelay;
  TouSound = settings.TouSound;
}
