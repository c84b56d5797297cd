// The driver state record and the copies in and out of its live settings.
#include "driver_state.h"

#include <type_traits>

DriverState driverState;

namespace {

// Calls visit(liveWord, recordWord) for each of the eleven words: the one place that pairs the
// live record's words with the record's fields.
template <class Live, class Record, class Visit>
void ForEachWord(Live &live, Record &record, Visit visit) {
  visit(live.LLX, record.LLX);
  visit(live.LLY, record.LLY);
  visit(live.URX, record.URX);
  visit(live.URY, record.URY);
  visit(live.BaudRate, record.BaudRate);
  visit(live.MouseMod, record.MouseMod);
  visit(live.XInplace, record.XInplace);
  visit(live.YInplace, record.YInplace);
  visit(live.SelDelay, record.SelDelay);
  visit(live.CliDelay, record.CliDelay);
  visit(live.TouSound, record.TouSound);
}

}  // namespace

DriverSettings LiveSettings::Copy() const {
  DriverSettings copy{};
  ForEachWord(*this, copy, [](const auto &live, auto &field) { field = live; });
  return copy;
}

void LiveSettings::Assign(const DriverSettings &settings) {
  ForEachWord(*this, settings, [](auto &live, const auto &field) { live = field; });
}

void LiveSettings::StoreWord(size_t offset, DWORD word) {
  const DriverSettings layout{};
  const BYTE *base = reinterpret_cast<const BYTE *>(&layout);
  ForEachWord(*this, layout, [&](auto &live, const auto &field) {
    if (static_cast<size_t>(reinterpret_cast<const BYTE *>(&field) - base) == offset)
      live = static_cast<std::remove_cvref_t<decltype(field)>>(word);
  });
}
