// What ASIOPelkor tells outside the host: the live status block (driver_status.h) and the opt-in
// log (driver_log.h).
#include <stdarg.h>
#include <stdio.h>

#include "driver.h"
#include "driver_log.h"
#include "driver_status.h"

namespace {

StatusSampleFormat StatusFormatOf(ma_format format) {
  switch (format) {
    case ma_format_u8:
      return kStatusFormatU8;
    case ma_format_s16:
      return kStatusFormatS16;
    case ma_format_s24:
      return kStatusFormatS24;
    case ma_format_s32:
      return kStatusFormatS32;
    case ma_format_f32:
      return kStatusFormatF32;
    default:
      return kStatusFormatUnknown;
  }
}

const char *AnswerName(ASIOError answer) {
  switch (answer) {
    case ASE_OK:
      return "ASE_OK";
    case ASE_SUCCESS:
      return "ASE_SUCCESS";
    case ASE_NotPresent:
      return "ASE_NotPresent";
    case ASE_InvalidParameter:
      return "ASE_InvalidParameter";
    case ASE_InvalidMode:
      return "ASE_InvalidMode";
    case ASE_NoClock:
      return "ASE_NoClock";
    case ASE_NoMemory:
      return "ASE_NoMemory";
    default:
      return "?";
  }
}

}  // namespace

void ASIOPelkor::publishStatus() {
  // Never from the stream thread (a host that stops in its own switch): publishing takes a lock
  // the status thread holds now and then.
  if (inStreamCallback()) return;
  if (!status) {
    // Before init nothing is open, and a host that only lists drivers shows as initialised.
    if (!audioThread) return;
    status = DriverStatus::Open(settingLog);
    if (!status) return;
  }
  DriverStatusRecord record = {};
  bool dsd = IsDsdMode();
  record.state = started && playbackStream ? kStatusRunning : callbacks ? kStatusPrepared : kStatusInitialised;
  record.askedDsd = dsd ? 1 : 0;
  ULONGLONG askedRate = static_cast<ULONGLONG>(sampleRate) * (dsd ? static_cast<ULONG>(kDsdBitsPerWord) : 1u);
  record.askedRate = static_cast<UINT32>(askedRate > 0xFFFFFFFFull ? 0xFFFFFFFFull : askedRate);
  record.endpointRate = statusEndpoint.sampleRate;
  record.endpointFormat = StatusFormatOf(statusEndpoint.format);
  record.endpointChannels = statusEndpoint.channels;
  record.verdict = statusVerdict;
  // The size as getBufferSize offers it, or as the buffers were made.
  ULONGLONG frames = static_cast<ULONGLONG>(callbacks ? streamFrames : blockFrames);
  record.bufferSize = static_cast<UINT32>(dsd ? frames * kDsdBitsPerWord : frames);
  // outputLatency counts in the unit of the buffer size, so the host's rate turns it into time.
  ULONG latencyRate = callbacks && streamRate ? streamRate : sampleRate;
  ULONGLONG unitsPerSecond = static_cast<ULONGLONG>(latencyRate) * (dsd ? static_cast<ULONG>(kDsdBitsPerWord) : 1u);
  if (unitsPerSecond > 0)
    record.latencyMicroseconds = static_cast<UINT32>(static_cast<ULONGLONG>(outputLatency) * 1000000u / unitsPerSecond);
  if (statusVerdict == kStatusConverted || statusVerdict == kStatusRefused)
    snprintf(record.reason, sizeof(record.reason), "%s", ErrorText());
  status->Publish(record);
}

void ASIOPelkor::closeStatus(bool wait) {
  if (!status) return;
  if (settingLog) logLine("released");
  status->Close(wait);
  status = nullptr;
}

DriverLogTarget ASIOPelkor::logTarget() const {
  DriverLogTarget target;
  target.on = settingLog;
  target.serial = status ? status->Serial() : 0;
  return target;
}

void ASIOPelkor::logLine(const char *format, ...) {
  // The stream thread never writes the file: what it has to say goes through the status's queue.
  if (!settingLog || inStreamCallback()) return;
  va_list arguments;
  va_start(arguments, format);
  WriteDriverLogV(status ? status->Serial() : 0, format, arguments);
  va_end(arguments);
}

ASIOError ASIOPelkor::logAnswer(ASIOError answer, const char *format, ...) {
  if (!settingLog) return answer;
  char call[256];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(call, sizeof(call), format, arguments);
  va_end(arguments);
  logLine("%s = %s (%ld)", call, AnswerName(answer), static_cast<long>(answer));
  return answer;
}
