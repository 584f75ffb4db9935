// The data callback against a plain memcpy of the same bytes, for PCM and DSD at the sizes hosts
// use, with the live status off and on (then each period also reads the performance counter and
// bumps the status's counters). After the runs each case prints "ratio <callback time / memcpy
// time>"; the callback should stay within 1.5 times the copy.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "driver.h"
#include "driver_peer.h"
#include "sim/machine.h"
#include "stream.h"

namespace {

void QuietSwitch(long, ASIOBool) {}
long DeclineEverything(long, long, void *, double *) { return 0; }

std::map<std::string, double> &Timings() {
  static std::map<std::string, double> timings;
  return timings;
}

std::string CaseName(bool dsd, long frames, bool status) {
  return std::string(dsd ? "DSD " : "PCM ") + std::to_string(frames) + (status ? " status on" : " status off");
}

void BM_DataCallback(benchmark::State &state) {
  bool dsd = state.range(0) != 0;
  long frames = static_cast<long>(state.range(1));
  bool withStatus = state.range(2) != 0;
  sim::Reset();
  // The clock stands still: on Windows timeGetTime reads a counter the kernel keeps in shared
  // memory, not a system call.
  sim::SetTimeGetTime(1000);
  ASIOPelkor driver(nullptr);
  if (dsd) {
    ASIOIoFormat format = {};
    format.FormatType = kASIODSDFormat;
    driver.future(kAsioSetIoFormat, &format);
  }
  ASIOCallbacks callbacks = {QuietSwitch, nullptr, DeclineEverything, nullptr};
  ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
  if (driver.createBuffers(infos, 2, dsd ? frames * 32 : frames, &callbacks) != ASE_OK) {
    state.SkipWithError("createBuffers failed");
    return;
  }
  DriverStatus *status = withStatus ? DriverStatus::Open(false) : nullptr;
  if (withStatus && !status) {
    state.SkipWithError("no status");
    return;
  }
  DriverTestPeer::SetStatus(driver, status);
  DriverTestPeer::SetStarted(driver, true);
  ma_device device = {};
  device.pUserData = &driver;
  std::vector<INT32> out(static_cast<size_t>(2 * frames));
  auto callback = dsd ? DsdDataCallback : PcmDataCallback;
  for (auto _ : state) {
    callback(&device, out.data(), nullptr, static_cast<ma_uint32>(frames));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frames * 8);
  DriverTestPeer::SetStarted(driver, false);
  DriverTestPeer::SetStatus(driver, nullptr);
  if (status) status->Close(/* wait */ true);
  driver.disposeBuffers();
}

void BM_Memcpy(benchmark::State &state) {
  long frames = static_cast<long>(state.range(1));
  std::vector<INT32> in(static_cast<size_t>(2 * frames), 0x1234), out(static_cast<size_t>(2 * frames));
  for (auto _ : state) {
    memcpy(out.data(), in.data(), static_cast<size_t>(frames) * 8);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frames * 8);
}

void Sizes(benchmark::internal::Benchmark *b) {
  for (int dsd : {0, 1})
    for (int frames : {220, 440, 4096})
      for (int status : {0, 1}) b->Args({dsd, frames, status});
}

BENCHMARK(BM_DataCallback)->Apply(Sizes);
BENCHMARK(BM_Memcpy)->Apply(Sizes);

// Keeps each run's time per iteration, by case, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      std::string name = run.benchmark_name();
      bool callback = name.rfind("BM_DataCallback", 0) == 0;
      size_t slash = name.find('/');
      if (slash == std::string::npos) continue;
      std::string args = name.substr(slash + 1);
      char *next = nullptr;
      long dsd = strtol(args.c_str(), &next, 10);
      long frames = strtol(next + 1, &next, 10);
      long status = strtol(next + 1, nullptr, 10);
      Timings()[(callback ? "cb " : "mc ") + CaseName(dsd != 0, frames, status != 0)] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (bool dsd : {false, true})
    for (long frames : {220L, 440L, 4096L})
      for (bool status : {false, true}) {
        std::string name = CaseName(dsd, frames, status);
        auto cb = Timings().find("cb " + name), mc = Timings().find("mc " + name);
        if (cb == Timings().end() || mc == Timings().end() || mc->second <= 0) continue;
        printf("%s %ld frames, status %s: callback %.1f ns, memcpy %.1f ns, ratio %.2f\n", dsd ? "DSD" : "PCM", frames,
               status ? "on" : "off", cb->second, mc->second, cb->second / mc->second);
      }
  benchmark::Shutdown();
  return 0;
}
