// The streaming engine's routines outside the driver object: miniaudio's data callbacks and the
// system time stamp.
#pragma once

#include <miniaudio.h>

#include "asio_interface.h"

// Data callbacks of the playback stream; the device's pUserData is the ASIOPelkor object. Each
// asks the host for the next buffer half and copies the half it filled one period earlier into
// the stream, interleaved; the DSD callback turns each word into network byte order on the way.
void PcmDataCallback(ma_device *device, void *output, const void *input, ma_uint32 frameCount);
void DsdDataCallback(ma_device *device, void *output, const void *input, ma_uint32 frameCount);

// The system time in nanoseconds (milliseconds of timeGetTime, so it moves in whole ms).
void GetNanoSeconds(ASIOTimeStamp *ts);

// The data callbacks' copy loop: a portable one and, on x86 processors with AVX2, the same loop
// compiled for it, which is chosen at the first copy. Tests and benchmarks pick one (while no
// stream runs), so that each loop is checked on a machine that would always take the other.
enum class CopyLoop { kPortable, kWide };
// False, and the choice unchanged, when this processor or build has no such loop.
bool UseCopyLoop(CopyLoop loop);

// What one-bit silence is made of: the idle pattern 0x69 in every byte, which a DSD decoder
// hears as silence (all-zero bits are a full-scale offset that thumps).
enum : unsigned { kDsdSilenceWord = 0x69696969u };
