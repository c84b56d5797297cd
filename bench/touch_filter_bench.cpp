// How to run: scripts/bench touch_filter
//
// The touch filter on touchsim's panel models, beside the unfiltered reports of the same readings
// in the same run: the demo's panel (noise 16), a noisier one with wild readings (noise 48, every
// 40th reading of a touch 4096 units or more away), and two whose contact bounces by 600 and by
// 3000 units once in 37 readings (noise 32). Readings come from the panel model at 192 reports a
// second and go through the driver's filter component as the read thread passes them, in
// controller units:
// - "jitter_off", "jitter_on": RMS of the position of a held touch (one second) about its mean,
//   over 16 touches, and "jitter_ratio" the second over the first (the bar: at most 0.35). The
//   unfiltered figures leave the wild readings out, so that they compare noise with noise;
// - "farthest_off", "farthest_on": the farthest any report of those held touches lands from the
//   finger on either axis (the bar: within the noise, whatever the bounces' size);
// - "spikes_off", "spikes_on": reports of those touches and of 16 drags whose position is more
//   than 1024 units from the finger, i.e. wild readings that reached the pointer (the bar: 0 on);
// - "lag16_off", "lag16_on", "lag64_on", "lag256_on": how many reports the pointer is behind the
//   finger over the first half second of a drag of 16 (64, 256) units a report (the bar: at most
//   1 on).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "panel_model.h"
#include "touch_filter.h"

namespace {

struct Panel {
  const char *name;
  const char *model;
  DWORD noise;
};

const Panel kPanels[] = {
    {"demo panel, noise 16", "left=900,right=15200,bottom=700,top=15900,noise=16", 16},
    {"noisy panel, noise 48, a wild reading in 40", "left=900,right=15200,bottom=700,top=15900,noise=48,spike=40", 48},
    {"noise 32, a bounce of 600 in 37", "left=900,right=15200,bottom=700,top=15900,noise=32,spike=37,bounce=600", 32},
    {"noise 32, a bounce of 3000 in 37", "left=900,right=15200,bottom=700,top=15900,noise=32,spike=37,bounce=3000", 32},
};

using Points = std::vector<std::pair<double, double>>;

struct Touch {
  std::vector<TouchReport> truth, readings, filtered;
  std::vector<bool> wild;  // the panel model made that reading a wild one
};

Touch Play(const touchsim::PanelModel &model, const Points &points, DWORD noise, unsigned seed) {
  touchsim::PanelModel still = model;
  still.noise = 0;
  still.spike = 0;
  std::mt19937 random(seed), none(seed);
  TouchFilter filter(noise);
  Touch touch;
  uint64_t reading = 0;
  for (const auto &[x, y] : points) {
    uint16_t cx = 0, cy = 0, tx = 0, ty = 0;
    ++reading;
    model.Read(std::llround(x), std::llround(y), reading, random, &cx, &cy);
    still.Read(std::llround(x), std::llround(y), reading, none, &tx, &ty);
    const TouchReport raw{true, DWORD{cx} * 4, DWORD{cy} * 4};
    touch.truth.push_back({true, DWORD{tx} * 4, DWORD{ty} * 4});
    touch.readings.push_back(raw);
    touch.wild.push_back(model.spike > 0 && reading % static_cast<uint64_t>(model.spike) == 0);
    TouchReport filtered = raw;
    filter.Filter(filtered);
    touch.filtered.push_back(filtered);
  }
  return touch;
}

double SquaredSpread(const std::vector<TouchReport> &reports) {
  double mx = 0, my = 0;
  for (const TouchReport &r : reports) mx += r.x / 4.0, my += r.y / 4.0;
  mx /= static_cast<double>(reports.size());
  my /= static_cast<double>(reports.size());
  double sum = 0;
  for (const TouchReport &r : reports) sum += std::pow(r.x / 4.0 - mx, 2) + std::pow(r.y / 4.0 - my, 2);
  return sum / static_cast<double>(reports.size());
}

bool Wild(const TouchReport &out, const TouchReport &truth) {
  return std::abs(static_cast<double>(out.x) - truth.x) > 4096 || std::abs(static_cast<double>(out.y) - truth.y) > 4096;
}

// The farthest a report lands from the finger on either axis, in controller units.
double Farthest(const std::vector<TouchReport> &out, const std::vector<TouchReport> &truth) {
  double farthest = 0;
  for (size_t i = 0; i < out.size(); ++i)
    farthest = std::max({farthest, std::abs(static_cast<double>(out[i].x) - truth[i].x) / 4,
                         std::abs(static_cast<double>(out[i].y) - truth[i].y) / 4});
  return farthest;
}

// The readings that are not wild, and the finger's positions at them.
Touch Tame(const Touch &touch) {
  Touch tame;
  for (size_t i = 0; i < touch.readings.size(); ++i)
    if (!touch.wild[i]) {
      tame.readings.push_back(touch.readings[i]);
      tame.truth.push_back(touch.truth[i]);
    }
  return tame;
}

int Spikes(const std::vector<TouchReport> &out, const std::vector<TouchReport> &truth) {
  int spikes = 0;
  for (size_t i = 0; i < out.size(); ++i) spikes += Wild(out[i], truth[i]);
  return spikes;
}

double Lag(const std::vector<TouchReport> &out, const std::vector<TouchReport> &truth, double unitsPerReport) {
  double lag = 0;
  for (size_t i = 0; i < out.size(); ++i) lag += (static_cast<double>(truth[i].x) - out[i].x) / (unitsPerReport * 4);
  return lag / static_cast<double>(out.size());
}

Points Drag(double unitsPerReport, int reports) {
  const double step = unitsPerReport * 65535.0 / (15200 - 900);
  Points points;
  for (int i = 0; i < reports; ++i) points.push_back({4000 + i * step, 20000 + i * step / 2});
  return points;
}

void BM_TouchFilter(benchmark::State &state) {
  const Panel &panel = kPanels[state.range(0)];
  state.SetLabel(panel.name);
  touchsim::PanelModel model;
  std::string error;
  if (!touchsim::PanelModel::Parse(panel.model, &model, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const int kTouches = 16, kHalfSecond = 96;
  double spreadOff = 0, spreadOn = 0, lag16Off = 0, lag16On = 0, lag64On = 0, lag256On = 0;
  double farthestOff = 0, farthestOn = 0;
  int spikesOff = 0, spikesOn = 0;
  for (auto _ : state) {
    for (unsigned seed = 1; seed <= kTouches; ++seed) {
      const Touch held = Play(model, Points(192, {30000.0 + seed * 1000, 40000}), panel.noise, seed);
      spreadOff += SquaredSpread(Tame(held).readings);
      spreadOn += SquaredSpread(held.filtered);
      farthestOff = std::max(farthestOff, Farthest(held.readings, held.truth));
      farthestOn = std::max(farthestOn, Farthest(held.filtered, held.truth));
      const Touch slow = Play(model, Drag(16, kHalfSecond), panel.noise, seed);
      const Touch fast = Play(model, Drag(64, kHalfSecond), panel.noise, seed);
      const Touch fling = Play(model, Drag(256, kHalfSecond), panel.noise, seed);
      const Touch slowTame = Tame(slow);
      lag16Off += Lag(slowTame.readings, slowTame.truth, 16);
      lag16On += Lag(slow.filtered, slow.truth, 16);
      lag64On += Lag(fast.filtered, fast.truth, 64);
      lag256On += Lag(fling.filtered, fling.truth, 256);
      for (const Touch *touch : {&held, &slow}) {
        spikesOff += Spikes(touch->readings, touch->truth);
        spikesOn += Spikes(touch->filtered, touch->truth);
      }
    }
  }
  const double runs = static_cast<double>(state.iterations()) * kTouches;
  state.counters["jitter_off"] = std::sqrt(spreadOff / runs);
  state.counters["jitter_on"] = std::sqrt(spreadOn / runs);
  state.counters["jitter_ratio"] = std::sqrt(spreadOn / spreadOff);
  state.counters["farthest_off"] = farthestOff;
  state.counters["farthest_on"] = farthestOn;
  state.counters["spikes_off"] = spikesOff / static_cast<double>(state.iterations());
  state.counters["spikes_on"] = spikesOn / static_cast<double>(state.iterations());
  state.counters["lag16_off"] = lag16Off / runs;
  state.counters["lag16_on"] = lag16On / runs;
  state.counters["lag64_on"] = lag64On / runs;
  state.counters["lag256_on"] = lag256On / runs;
}

BENCHMARK(BM_TouchFilter)->DenseRange(0, 3)->ArgName("panel")->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
