// The touch filter fed with touchsim's panel readings (jitter of a held touch, lag of a drag,
// wild readings, lifts), the Filter grammar, and the Filter value in a running driver: off, the
// pointer gets what it got before the filter existed; on, a wild reading does not reach it.
#include "touch_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "panel_model.h"
#include "platform/pointer_output.h"

namespace {

struct Panel {
  const char *model;
  DWORD noise;  // the filter's noise for it
};

// The demo's panel and a noisier one, both offset and scaled like an uncalibrated panel.
const Panel kPanels[] = {{"left=900,right=15200,bottom=700,top=15900,noise=16", 16},
                         {"left=900,right=15200,bottom=700,top=15900,noise=48", 48}};

touchsim::PanelModel ModelOf(const std::string &text) {
  touchsim::PanelModel model;
  std::string error;
  EXPECT_TRUE(touchsim::PanelModel::Parse(text, &model, &error)) << error;
  return model;
}

// A touching report in raw position (what the framing gives: controller units * 4).
TouchReport Raw(uint16_t x, uint16_t y) { return {true, DWORD{x} * 4, DWORD{y} * 4}; }

// The readings of one touch along `points` (screen points), through the panel model.
std::vector<TouchReport> Touch(const touchsim::PanelModel &model, const std::vector<std::pair<double, double>> &points,
                               unsigned seed) {
  std::mt19937 random(seed);
  std::vector<TouchReport> readings;
  uint64_t reading = 0;
  for (const auto &[x, y] : points) {
    uint16_t cx = 0, cy = 0;
    model.Read(std::llround(x), std::llround(y), ++reading, random, &cx, &cy);
    readings.push_back(Raw(cx, cy));
  }
  return readings;
}

std::vector<TouchReport> Filtered(TouchFilter &filter, const std::vector<TouchReport> &readings) {
  std::vector<TouchReport> out;
  for (TouchReport reading : readings) {
    filter.Filter(reading);
    out.push_back(reading);
  }
  return out;
}

double SquaredSpread(const std::vector<TouchReport> &reports) {
  double mx = 0, my = 0;
  for (const TouchReport &r : reports) mx += r.x, my += r.y;
  mx /= static_cast<double>(reports.size());
  my /= static_cast<double>(reports.size());
  double sum = 0;
  for (const TouchReport &r : reports) sum += (r.x - mx) * (r.x - mx) + (r.y - my) * (r.y - my);
  return sum / static_cast<double>(reports.size());
}

TEST(TouchFilter, AHeldTouchTremblesAtMostAThirdAsMuch) {
  for (const Panel &panel : kPanels) {
    const touchsim::PanelModel model = ModelOf(panel.model);
    double before = 0, after = 0;
    for (unsigned seed = 1; seed <= 8; ++seed) {
      // One second at 192 reports a second, from the touch's first report on.
      const auto readings = Touch(model, std::vector<std::pair<double, double>>(192, {30000, 40000}), seed);
      TouchFilter filter(panel.noise);
      before += SquaredSpread(readings);
      after += SquaredSpread(Filtered(filter, readings));
    }
    EXPECT_LE(std::sqrt(after / before), 0.35) << panel.model;
  }
}

// The lag of a drag, in reports: how far the pointer is behind the finger along the drag, over
// half a second from the touch's first report, divided by the distance the finger moves a report.
TEST(TouchFilter, ADragOfSixteenUnitsAReportOrFasterLagsAtMostOneReport) {
  for (const Panel &panel : kPanels) {
    const touchsim::PanelModel model = ModelOf(panel.model);
    touchsim::PanelModel still = model;
    still.noise = 0;
    // Screen points a report for 16, 48, 200 and 1200 controller units a report on the controller's x.
    for (double unitsPerReport : {16.0, 48.0, 200.0, 1200.0}) {
      const double step = unitsPerReport * 65535.0 / (15200 - 900);
      for (double slope : {0.0, 1.0}) {  // along x, and diagonally
        double lag = 0;
        const int kSeeds = 8, kReports = 96;
        for (unsigned seed = 1; seed <= kSeeds; ++seed) {
          std::vector<std::pair<double, double>> points;
          for (int i = 0; i < kReports; ++i) points.push_back({5000 + i * step, 60000 - slope * i * step});
          const auto truth = Touch(still, points, seed);
          TouchFilter filter(panel.noise);
          const auto out = Filtered(filter, Touch(model, points, seed));
          for (int i = 0; i < kReports; ++i)
            lag += (static_cast<double>(truth[i].x) - out[i].x) / (unitsPerReport * 4);
        }
        EXPECT_LE(lag / (kSeeds * kReports), 1.0) << panel.model << " at " << unitsPerReport << " slope " << slope;
      }
    }
  }
}

// The farthest a report lands from the finger on either axis, in raw units.
double Farthest(const std::vector<TouchReport> &out, const std::vector<TouchReport> &truth) {
  double farthest = 0;
  for (size_t i = 0; i < out.size(); ++i)
    farthest = std::max({farthest, std::abs(static_cast<double>(out[i].x) - truth[i].x),
                         std::abs(static_cast<double>(out[i].y) - truth[i].y)});
  return farthest;
}

// A bounce of the contact, of any size, takes the pointer no farther from the finger than the same
// touch without it, give or take what the noise explains and, in a drag, the one report the
// bounce is held for: a held touch and a fast drag, with wild readings 4096 units or more away and
// with bounces of a few hundred and a few thousand units.
TEST(TouchFilter, ABounceOfAnySizeNeverReachesThePointer) {
  for (const Panel &panel : kPanels) {
    for (const char *bounce : {"", ",bounce=200", ",bounce=600", ",bounce=3000"}) {
      const touchsim::PanelModel model = ModelOf(std::string(panel.model) + ",spike=7" + bounce);
      touchsim::PanelModel clean = model, still = model;
      clean.spike = 0;
      still.noise = 0;
      still.spike = 0;
      std::vector<std::pair<double, double>> hold(60, {30000, 30000}), drag;
      for (int i = 0; i < 60; ++i) drag.push_back({5000 + i * 300.0, 5000 + i * 200.0});
      for (const auto &points : {hold, drag}) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
          const auto truth = Touch(still, points, seed);
          TouchFilter bounced(panel.noise), unbounced(panel.noise);
          const double farthest = Farthest(Filtered(bounced, Touch(model, points, seed)), truth);
          const double without = Farthest(Filtered(unbounced, Touch(clean, points, seed)), truth);
          // Holding a reading for a report costs a drag that report's step.
          double step = 0;
          for (size_t i = 1; i < truth.size(); ++i)
            step = std::max({step, std::abs(double(truth[i].x) - truth[i - 1].x), std::abs(double(truth[i].y) - truth[i - 1].y)});
          EXPECT_LE(farthest, without + step + 4.0 * 4 * panel.noise)
              << model.spike << bounce << " noise " << panel.noise << (points == hold ? " held" : " dragged");
        }
      }
    }
  }
}

TEST(TouchFilter, TouchesStartAndEndAtOnceAndAJumpTheNextReadingConfirmsIsFollowed) {
  TouchFilter filter(16);
  struct Step {
    TouchReport in;
    TouchReport out;
  };
  const Step steps[] = {
      {Raw(1000, 1000), Raw(1000, 1000)},      // the first report of a touch is its reading
      {Raw(1010, 990), Raw(1005, 995)},        // the mean of the touch's readings so far
      {Raw(9000, 9000), Raw(1005, 995)},       // a jump is held: the pointer stays
      {Raw(9004, 9004), Raw(9004, 9004)},      // and is followed once the next reading agrees
      {Raw(9010, 9000), Raw(9007, 9002)},
      {Raw(15000, 200), Raw(9007, 9002)},      // a wild reading just before the lift
      {{false, 0, 0}, {false, 9007 * 4, 9002 * 4}},  // the lift comes at once, where the pointer is
      {Raw(3000, 3000), Raw(3000, 3000)},      // the next touch starts afresh
      {{false, 4, 4}, {false, 3000 * 4, 3000 * 4}},
      {{false, 4, 8}, {false, 4, 8}},          // a lift outside a touch is passed as it is
  };
  int i = 0;
  for (const Step &step : steps) {
    TouchReport out = step.in;
    filter.Filter(out);
    EXPECT_EQ(out.touching, step.out.touching) << "step " << i;
    EXPECT_EQ(out.x, step.out.x) << "step " << i;
    EXPECT_EQ(out.y, step.out.y) << "step " << i;
    ++i;
  }
}

TEST(TouchFilterSetting, Grammar) {
  struct Case {
    const char16_t *text;
    const char *reason;  // nullptr: taken
    bool smooth;
    DWORD noise;
  };
  const Case cases[] = {
      {u"off", nullptr, false, 16},
      {u"smooth", nullptr, true, 16},
      {u"smooth,noise=1", nullptr, true, 1},
      {u"smooth,noise=256", nullptr, true, 256},
      {u"smooth,noise=0", "noise is out of range", false, 0},
      {u"smooth,noise=257", "noise is out of range", false, 0},
      {u"smooth,noise=99999999999", "noise is out of range", false, 0},
      {u"smooth,noise=", "noise is not a whole number", false, 0},
      {u"smooth,noise=-4", "noise is not a whole number", false, 0},
      {u"smooth,noise=2x", "noise is not a whole number", false, 0},
      {u"smooth,gate=4", "unknown parameter", false, 0},
      {u"smooth,", "unknown parameter", false, 0},
      {u"smoother", "unknown filter", false, 0},
      {u"Smooth", "unknown filter", false, 0},
      {u"", "unknown filter", false, 0},
      {u"of", "unknown filter", false, 0},
  };
  for (const Case &c : cases) {
    TouchFilterSetting setting;
    setting.noise = 99;
    const std::u16string text = c.text;
    const char *reason = ParseTouchFilterSetting(text.c_str(), text.size(), &setting);
    const std::string name = platform::ToUtf8(text);
    if (c.reason == nullptr) {
      EXPECT_EQ(reason, nullptr) << name;
      EXPECT_EQ(setting.smooth, c.smooth) << name;
      EXPECT_EQ(setting.noise, c.noise) << name;
    } else {
      ASSERT_NE(reason, nullptr) << name;
      EXPECT_STREQ(reason, c.reason) << name;
      EXPECT_EQ(setting.noise, 99u) << name << ": a refused text changes nothing";
    }
  }
}

class FilterValue : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    platform::SetPointerSink([this](const platform::PointerEvent &event) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      changed_.notify_all();
    });
  }
  void TearDown() override {
    StopDriver();
    platform::SetPointerSink(nullptr);
    ConfigureTouchFilter(TouchFilterSetting{});
    DriverFixture::TearDown();
  }

  // The Filter lines the driver printed.
  std::vector<std::string> FilterLines() {
    std::vector<std::string> lines;
    for (const std::string &line : Debug())
      if (line.rfind("Filter", 0) == 0) lines.push_back(line);
    return lines;
  }

  // Sends the reports to the running driver and returns the mouse events they became.
  std::vector<platform::PointerEvent> Play(const std::vector<TouchReport> &reports) {
    std::string bytes;
    for (const TouchReport &r : reports)
      bytes += std::string{static_cast<char>(r.touching ? 0x90 : 0x80), static_cast<char>(r.x / 4 >> 7),
                           static_cast<char>(r.x / 4 & 0x7F), static_cast<char>(r.y / 4 >> 7),
                           static_cast<char>(r.y / 4 & 0x7F)};
    pty.Send(bytes);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= reports.size(); });
    return events_;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<platform::PointerEvent> events_;
};

TEST_F(FilterValue, ABadValueIsOneLineAndNoFilter) {
  struct Case {
    const char *registry;  // the value's registry text; empty: no value
    bool on;
    const char *line;  // the one line printed, or nullptr for none
  };
  const char *fix = ": the touch filter is off; set it to " NORVIK_FILTER_VALUES
                    ", e.g. nrvctl set Filter=smooth, and restart the driver\r\n";
  const Case cases[] = {
      {"", false, nullptr},
      {"\"off\"", false, nullptr},
      {"\"smooth\"", true, nullptr},
      {"\"smooth,noise=48\"", true, nullptr},
      {"\"smooth,noise=900\"", false, "Filter value \"smooth,noise=900\" ignored (noise is out of range)"},
      {"\"blur\"", false, "Filter value \"blur\" ignored (unknown filter)"},
      {"dword:00000001", false, "Filter value \"\" ignored (not a string (REG_SZ))"},
      {"\"smooth,noise=16,and a great deal more than fits\"", false, "Filter value \"\" ignored (too long)"},
  };
  for (const Case &c : cases) {
    ClearDebug();
    WriteRegistry({{"Filter", c.registry}});
    ASSERT_TRUE(StartDriver());
    EXPECT_EQ(touchFilterStage.on, c.on) << c.registry;
    const auto lines = FilterLines();
    if (c.line == nullptr) {
      EXPECT_TRUE(lines.empty()) << c.registry << ": " << (lines.empty() ? "" : lines[0]);
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{std::string(c.line) + fix}) << c.registry;
    }
    StopDriver();
  }
}

TEST_F(FilterValue, OffThePointerGetsEveryReadingAsDecodedOnAWildOneIsKeptFromIt) {
  std::vector<TouchReport> reports;
  for (int i = 0; i < 30; ++i) reports.push_back(Raw(static_cast<uint16_t>(4000 + i * 20), 8000));
  reports[10] = Raw(14000, 500);  // wild
  reports.push_back({false, reports.back().x, reports.back().y});

  WriteRegistry({{"Filter", "\"off\""}});
  ASSERT_TRUE(StartDriver());
  auto events = Play(reports);
  ASSERT_EQ(events.size(), reports.size());
  for (size_t i = 0; i < reports.size(); ++i) {
    const BYTE packet[5] = {static_cast<BYTE>(reports[i].touching ? 0x90 : 0x80), static_cast<BYTE>(reports[i].x / 4 >> 7),
                            static_cast<BYTE>(reports[i].x / 4 & 0x7F), static_cast<BYTE>(reports[i].y / 4 >> 7),
                            static_cast<BYTE>(reports[i].y / 4 & 0x7F)};
    const TouchReport decoded = DecodeReport(packet);
    EXPECT_EQ(events[i].dx, decoded.x) << "report " << i;
    EXPECT_EQ(events[i].dy, decoded.y) << "report " << i;
  }
  StopDriver();

  {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  WriteRegistry({{"Filter", "\"smooth\""}});
  ASSERT_TRUE(StartDriver());
  events = Play(reports);
  ASSERT_EQ(events.size(), reports.size());
  EXPECT_EQ(events[10].dx, events[9].dx) << "the wild reading is held";
  EXPECT_EQ(events[10].dy, events[9].dy);
  for (const auto &event : events) EXPECT_LT(event.dx, 30000u) << event;  // 14000 * 4 would be 56000
  EXPECT_EQ(events.front().flags, 0x8003u);
  EXPECT_EQ(events.back().flags, 0x8005u) << "the lift arrives";
}

}  // namespace
