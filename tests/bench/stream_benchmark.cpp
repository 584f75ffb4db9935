// The data callback against a plain copy of the same bytes, for PCM and DSD at the sizes hosts
// use, with the live status off and on (then each period also bumps the status's counters, with
// the time stamp it takes for the host). After the runs each case prints "ratio <callback time /
// copy time>"; the goal is 1.25. The copy reads the very blocks the callback reads and writes its
// output buffer, right after the callback's runs, and each case runs several times and reports
// its median time on the processor (time the benchmark spent descheduled on a loaded machine
// counts for neither).
//
// Where the buffers land still shows from run to run: the interleaving copy's time depends on the
// offsets between the two channels' blocks and the output modulo 4 KiB (from a plain copy's time
// to more than twice it, for the same 220 frames), more than a plain copy's does. Compare several
// runs, not single cases.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "driver_status.h"
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

// A driver with buffers for one case, and the output buffer the stream would hand it.
class Case {
 public:
  Case(bool caseDsd, long caseFrames, bool caseStatus) : dsd(caseDsd), frames(caseFrames), withStatus(caseStatus) {
    sim::Reset();
    // The clock stands still: on Windows timeGetTime reads a counter the kernel keeps in shared
    // memory, not a system call.
    sim::SetTimeGetTime(1000);
    driver = new ASIOPelkor(nullptr);
    if (dsd) {
      ASIOIoFormat format = {};
      format.FormatType = kASIODSDFormat;
      driver->future(kAsioSetIoFormat, &format);
    }
    ready = driver->createBuffers(infos, 2, dsd ? frames * 32 : frames, &callbacks) == ASE_OK;
    status = withStatus ? DriverStatus::Open(false) : nullptr;
    if (withStatus && !status) ready = false;
    DriverTestPeer::SetStatus(*driver, status);
    DriverTestPeer::SetStarted(*driver, true);
    out.assign(static_cast<size_t>(2 * frames), 0);
  }
  ~Case() {
    DriverTestPeer::SetStarted(*driver, false);
    DriverTestPeer::SetStatus(*driver, nullptr);
    if (status) status->Close(/* wait */ true);
    driver->disposeBuffers();
    delete driver;
  }
  Case(const Case &) = delete;
  Case &operator=(const Case &) = delete;

  bool dsd;
  long frames;
  bool withStatus;
  bool ready = false;
  ASIOCallbacks callbacks = {QuietSwitch, nullptr, DeclineEverything, nullptr};
  ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
  ASIOPelkor *driver = nullptr;
  DriverStatus *status = nullptr;
  std::vector<INT32> out;
};

// One case at a time (each resets the simulated machine), shared by the callback's and the
// copy's runs of that case, which follow each other: both read and write the very same memory, so
// the placement of the buffers, which alone can make either several times slower, falls on both.
std::unique_ptr<Case> currentCase;

Case &CaseFor(const benchmark::State &state) {
  bool dsd = state.range(0) != 0;
  long frames = static_cast<long>(state.range(1));
  bool status = state.range(2) != 0;
  Case *c = currentCase.get();
  if (!c || c->dsd != dsd || c->frames != frames || c->withStatus != status) {
    currentCase.reset();
    currentCase.reset(new Case(dsd, frames, status));
  }
  return *currentCase;
}

void BM_DataCallback(benchmark::State &state) {
  Case &c = CaseFor(state);
  if (!c.ready) {
    state.SkipWithError("createBuffers failed");
    return;
  }
  ma_device device = {};
  device.pUserData = c.driver;
  auto callback = c.dsd ? DsdDataCallback : PcmDataCallback;
  for (auto _ : state) {
    callback(&device, c.out.data(), nullptr, static_cast<ma_uint32>(c.frames));
    benchmark::DoNotOptimize(c.out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * c.frames * 8);
}

// A plain copy in 32-byte vector loads and stores, the kind the callback's copy is made of. memcpy
// itself may use the processor's string instructions, which some placements of the buffers slow
// down more than tenfold (seen here at 4096 frames): a baseline must not fall into that. The empty
// asm keeps the compiler from making a memcpy call of the loop.
typedef UINT32 Piece __attribute__((vector_size(32), aligned(4)));

inline void CopyPieces(const UINT32 *from, UINT32 *to, size_t words) {
  const Piece *in = reinterpret_cast<const Piece *>(from);
  Piece *out = reinterpret_cast<Piece *>(to);
  size_t i = 0;
  // Four pieces at a time, all loaded before any is stored, as a tuned memcpy does: as fast as
  // memcpy where memcpy falls into no trap.
  for (; i + 32 <= words; i += 32, in += 4, out += 4) {
    Piece a = in[0], b = in[1], c = in[2], d = in[3];
    out[0] = a;
    out[1] = b;
    out[2] = c;
    out[3] = d;
    __asm__ volatile("");
  }
  for (; i + 8 <= words; i += 8) {
    *reinterpret_cast<Piece *>(to + i) = *reinterpret_cast<const Piece *>(from + i);
    __asm__ volatile("");
  }
  for (; i < words; ++i) to[i] = from[i];
}

__attribute__((noinline)) void CopyPortable(const UINT32 *from, UINT32 *to, size_t words) {
  CopyPieces(from, to, words);
}

#if defined(__x86_64__) || defined(__i386__)
// In AVX2 when the processor has it, as the callback's copy is then.
__attribute__((noinline, target("avx2"))) void CopyWide(const UINT32 *from, UINT32 *to, size_t words) {
  CopyPieces(from, to, words);
}
#endif

using CopyProc = void (*)(const UINT32 *, UINT32 *, size_t);
CopyProc PlainCopy() {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("avx2")) return CopyWide;
#endif
  return CopyPortable;
}

// The same bytes from the same places: each channel's half into its half of the output.
void BM_PlainCopy(benchmark::State &state) {
  Case &c = CaseFor(state);
  if (!c.ready) {
    state.SkipWithError("createBuffers failed");
    return;
  }
  size_t words = static_cast<size_t>(c.frames);
  CopyProc copy = PlainCopy();
  int index = 0;
  for (auto _ : state) {
    // Both halves in turn, as the callback plays them.
    copy(static_cast<const UINT32 *>(c.infos[0].buffers[index]), reinterpret_cast<UINT32 *>(c.out.data()), words);
    copy(static_cast<const UINT32 *>(c.infos[1].buffers[index]), reinterpret_cast<UINT32 *>(c.out.data() + c.frames),
         words);
    index = 1 - index;
    benchmark::DoNotOptimize(c.out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * c.frames * 8);
}

// Each case's callback, then its copy: a change in the machine's load between them is short.
void RegisterCases() {
  for (int dsd : {0, 1})
    for (int frames : {220, 440, 4096})
      for (int status : {0, 1})
        for (auto run : {BM_DataCallback, BM_PlainCopy})
          benchmark::RegisterBenchmark(run == BM_DataCallback ? "BM_DataCallback" : "BM_PlainCopy", run)
              ->Args({dsd, frames, status})
              ->Repetitions(5)
              ->ReportAggregatesOnly(true);
}

// Keeps each run's time per iteration, by case, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      // The median of each case's repetitions.
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      std::string name = run.run_name.function_name + "/" + run.run_name.args;
      bool callback = name.rfind("BM_DataCallback", 0) == 0;
      size_t slash = name.find('/');
      if (slash == std::string::npos) continue;
      std::string args = name.substr(slash + 1);
      char *next = nullptr;
      long dsd = strtol(args.c_str(), &next, 10);
      long frames = strtol(next + 1, &next, 10);
      long status = strtol(next + 1, nullptr, 10);
      Timings()[(callback ? "cb " : "copy ") + CaseName(dsd != 0, frames, status != 0)] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RegisterCases();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  currentCase.reset();
  for (bool dsd : {false, true})
    for (long frames : {220L, 440L, 4096L})
      for (bool status : {false, true}) {
        std::string name = CaseName(dsd, frames, status);
        auto cb = Timings().find("cb " + name), copy = Timings().find("copy " + name);
        if (cb == Timings().end() || copy == Timings().end() || copy->second <= 0) continue;
        printf("%s %ld frames, status %s: callback %.1f ns, copy %.1f ns, ratio %.2f\n", dsd ? "DSD" : "PCM", frames,
               status ? "on" : "off", cb->second, copy->second, cb->second / copy->second);
      }
  benchmark::Shutdown();
  return 0;
}
