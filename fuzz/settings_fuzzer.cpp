// The settings reader on arbitrary registry values: a key that is missing, refused or present,
// and for each of the six names a value of any type and any size from 0 up (or none). Each field
// must hold what the rules of the settings key give for that value alone.
//
// Input: one byte for the key (0 missing, 1 refused, otherwise present), then per name in order
// a flags byte (bit 0: the value exists, bit 1: its name is written in capitals), a 4-byte type,
// a size byte and that many data bytes.
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "driver.h"
#include "driver_peer.h"
#include "fuzz_support.h"
#include "sim/machine.h"

namespace {

const wchar_t kKeyPath[] = L"Software\\halvane103\\ASIO";

struct Rule {
  const wchar_t *name;
  const wchar_t *capitals;
  uint32_t withoutKey;
  uint32_t fallback;
};

// In the order the driver reads them; the fields of DriverTestPeer::Settings follow it.
const Rule kRules[6] = {
    {L"samples", L"SAMPLES", 512, 256},   {L"threads", L"THREADS", 1, 3},
    {L"buffers", L"BUFFERS", 1, 3},       {L"latencyms", L"LATENCYMS", 5, 10},
    {L"fifosize", L"FIFOSIZE", 8, 8},     {L"samplerate", L"SAMPLERATE", 44100, 44100},
};

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  sim::Reset();
}

// Takes the settings key away, refusal included, so that every input starts from nothing.
void RemoveKey() {
  sim::DenyRegKey(HKEY_CURRENT_USER, kKeyPath, ERROR_SUCCESS);
  FUZZ_CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, kKeyPath) == ERROR_SUCCESS, "settings key not removed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Setup();
  RemoveKey();
  FuzzInput input(data, size);
  uint8_t keyMode = input.Byte();
  uint32_t expected[6];
  if (keyMode == 1) sim::DenyRegKey(HKEY_CURRENT_USER, kKeyPath, ERROR_ACCESS_DENIED);
  if (keyMode >= 2) sim::CreateRegKey(HKEY_CURRENT_USER, kKeyPath);
  for (int i = 0; i < 6; ++i) {
    const Rule &rule = kRules[i];
    uint8_t flags = input.Byte();
    DWORD type = input.Dword();
    std::string bytes = input.Bytes(input.Byte());
    expected[i] = rule.withoutKey;
    if (keyMode < 2) continue;
    bool exists = (flags & 1) != 0;
    if (exists) {
      sim::SetRegValue(HKEY_CURRENT_USER, kKeyPath, (flags & 2) ? rule.capitals : rule.name, type,
                       std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    if (!exists || bytes.size() > 4) {
      expected[i] = rule.fallback;
    } else {
      // A value shorter than four bytes replaces only the low bytes of what the field held.
      for (size_t b = 0; b < bytes.size(); ++b) {
        expected[i] &= ~(0xFFu << (8 * b));
        expected[i] |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[b])) << (8 * b);
      }
    }
  }

  int handlesBefore = sim::OpenRegHandles();
  {
    ASIOPelkor driver(nullptr);
    DriverTestPeer::Settings got = DriverTestPeer::ReadSettings(driver);
    const uint32_t actual[6] = {got.samples, got.threads, got.buffers, got.latencyMs, got.fifoSize, got.sampleRate};
    for (int i = 0; i < 6; ++i) {
      FUZZ_CHECK(actual[i] == expected[i], "key mode %u: \"%ls\" is %u, expected %u", keyMode, kRules[i].name,
                 actual[i], expected[i]);
    }
    // While the driver lives its settings watch holds the settings key and the nearest above it.
    FUZZ_CHECK(sim::OpenRegHandles() <= handlesBefore + 2, "the settings key was left open");
    // Whatever the values, the host's first questions get sane answers.
    long minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
    FUZZ_CHECK(driver.getBufferSize(&minSize, &maxSize, &preferred, &granularity) == ASE_OK, "getBufferSize");
    FUZZ_CHECK(minSize > 0 && minSize == maxSize && maxSize == preferred && preferred % 2 == 0 && granularity == 0,
               "buffer size %ld for %u ms", preferred, expected[3]);
  }
  FUZZ_CHECK(sim::OpenRegHandles() == handlesBefore, "a key was left open after the driver went");
  return 0;
}
