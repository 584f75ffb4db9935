// Records, constants and the IASIO interface of the ASIO standard, declared for this driver.
//
// ABI facts a maintainer must not break:
// - Records are laid out with 4-byte packing on Windows, as hosts built against the standard's
//   declaration expect; their sizes and offsets are checked below on 32 and 64 bit.
// - `long` is the standard's type and is 32 bits on Windows (LLP64); on other hosts the stand-in
//   build has wider longs, so the layout checks apply to Windows builds only.
// - IASIO's own methods use the compiler's default member-function convention (thiscall on 32-bit
//   Windows); only the three IUnknown methods are stdcall. Hosts call the slots in this order.
#pragma once

#include <stddef.h>

#include <windows.h>
#include <unknwn.h>

#pragma pack(push, 4)

typedef long ASIOError;
typedef long ASIOBool;
typedef long ASIOSampleType;
typedef double ASIOSampleRate;

enum {
  ASIOFalse = 0,
  ASIOTrue = 1
};

enum {
  ASE_OK = 0,
  ASE_SUCCESS = 0x3f4847a0,
  ASE_NotPresent = -1000,
  ASE_HWMalfunction = -999,
  ASE_InvalidParameter = -998,
  ASE_InvalidMode = -997,
  ASE_SPNotAdvancing = -996,
  ASE_NoClock = -995,
  ASE_NoMemory = -994
};

enum {
  ASIOSTInt16MSB = 0,
  ASIOSTInt24MSB = 1,
  ASIOSTInt32MSB = 2,
  ASIOSTFloat32MSB = 3,
  ASIOSTFloat64MSB = 4,
  ASIOSTInt16LSB = 16,
  ASIOSTInt24LSB = 17,
  ASIOSTInt32LSB = 18,
  ASIOSTFloat32LSB = 19,
  ASIOSTFloat64LSB = 20,
  ASIOSTDSDInt8LSB1 = 32,
  ASIOSTDSDInt8MSB1 = 33,
  ASIOSTDSDInt8NER8 = 40
};

struct ASIOSamples {
  unsigned long hi;
  unsigned long lo;
};

struct ASIOTimeStamp {
  unsigned long hi;
  unsigned long lo;
};

struct ASIOClockSource {
  long index;
  long associatedChannel;
  long associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

struct ASIOChannelInfo {
  long channel;
  ASIOBool isInput;
  ASIOBool isActive;
  long channelGroup;
  ASIOSampleType type;
  char name[32];
};

struct ASIOBufferInfo {
  ASIOBool isInput;
  long channelNum;
  void *buffers[2];
};

// Flags of AsioTimeInfo.
enum {
  kSystemTimeValid = 1,
  kSamplePositionValid = 1 << 1,
  kSampleRateValid = 1 << 2,
  kSpeedValid = 1 << 3,
  kSampleRateChanged = 1 << 4,
  kClockSourceChanged = 1 << 5
};

// Flags of ASIOTimeCode.
enum {
  kTcValid = 1,
  kTcRunning = 1 << 1,
  kTcReverse = 1 << 2,
  kTcOnspeed = 1 << 3,
  kTcStill = 1 << 4,
  kTcSpeedValid = 1 << 8
};

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  unsigned long flags;
  char reserved[12];
};

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  unsigned long flags;
  char future[64];
};

struct ASIOTime {
  long reserved[4];
  struct AsioTimeInfo timeInfo;
  struct ASIOTimeCode timeCode;
};

struct ASIOCallbacks {
  void (*bufferSwitch)(long doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  long (*asioMessage)(long selector, long value, void *message, double *opt);
  ASIOTime *(*bufferSwitchTimeInfo)(ASIOTime *params, long doubleBufferIndex, ASIOBool directProcess);
};

// Selectors of asioMessage.
enum {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion,
  kAsioResetRequest,
  kAsioBufferSizeChange,
  kAsioResyncRequest,
  kAsioLatenciesChanged,
  kAsioSupportsTimeInfo,
  kAsioSupportsTimeCode,
  kAsioMMCCommand,
  kAsioSupportsInputMonitor,
  kAsioSupportsInputGain,
  kAsioSupportsInputMeter,
  kAsioSupportsOutputGain,
  kAsioSupportsOutputMeter,
  kAsioOverload
};

// Selectors of IASIO::future.
enum {
  kAsioEnableTimeCodeRead = 1,
  kAsioDisableTimeCodeRead,
  kAsioSetInputMonitor,
  kAsioTransport,
  kAsioSetInputGain,
  kAsioGetInputMeter,
  kAsioSetOutputGain,
  kAsioGetOutputMeter,
  kAsioCanInputMonitor,
  kAsioCanTimeInfo,
  kAsioCanTimeCode,
  kAsioCanTransport,
  kAsioCanInputGain,
  kAsioCanInputMeter,
  kAsioCanOutputGain,
  kAsioCanOutputMeter,
  kAsioOptionalOne,
  kAsioSetIoFormat = 0x23111961,
  kAsioGetIoFormat = 0x23111983,
  kAsioCanDoIoFormat = 0x23112004
};

typedef long ASIOIoFormatType;
enum {
  kASIOFormatInvalid = -1,
  kASIOPCMFormat = 0,
  kASIODSDFormat = 1
};

struct ASIOIoFormat {
  ASIOIoFormatType FormatType;
  char future[512 - sizeof(ASIOIoFormatType)];
};

#pragma pack(pop)

// The driver interface. The three IUnknown methods come first (stdcall, from IUnknown); the
// rest are plain virtual member functions in the standard's slot order.
struct IASIO : public IUnknown {
  virtual ASIOBool init(void *sysHandle) = 0;
  virtual void getDriverName(char *name) = 0;
  virtual long getDriverVersion() = 0;
  virtual void getErrorMessage(char *string) = 0;
  virtual ASIOError start() = 0;
  virtual ASIOError stop() = 0;
  virtual ASIOError getChannels(long *numInputChannels, long *numOutputChannels) = 0;
  virtual ASIOError getLatencies(long *inputLatency, long *outputLatency) = 0;
  virtual ASIOError getBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity) = 0;
  virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getSampleRate(ASIOSampleRate *sampleRate) = 0;
  virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getClockSources(ASIOClockSource *clocks, long *numSources) = 0;
  virtual ASIOError setClockSource(long reference) = 0;
  virtual ASIOError getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) = 0;
  virtual ASIOError getChannelInfo(ASIOChannelInfo *info) = 0;
  virtual ASIOError createBuffers(ASIOBufferInfo *bufferInfos, long numChannels, long bufferSize,
                                  ASIOCallbacks *callbacks) = 0;
  virtual ASIOError disposeBuffers() = 0;
  virtual ASIOError controlPanel() = 0;
  virtual ASIOError future(long selector, void *opt) = 0;
  virtual ASIOError outputReady() = 0;
};

#if defined(_WIN32)
// Windows layouts, identical on 32 and 64 bit where the record holds no pointer.
static_assert(sizeof(long) == 4, "ASIO records need the LLP64/ILP32 long");
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8, "64-bit counters");
static_assert(sizeof(ASIOClockSource) == 48, "ASIOClockSource");
static_assert(offsetof(ASIOClockSource, name) == 16, "ASIOClockSource.name");
static_assert(sizeof(ASIOChannelInfo) == 52, "ASIOChannelInfo");
static_assert(offsetof(ASIOChannelInfo, type) == 16 && offsetof(ASIOChannelInfo, name) == 20, "ASIOChannelInfo");
static_assert(sizeof(AsioTimeInfo) == 48, "AsioTimeInfo");
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24 && offsetof(AsioTimeInfo, flags) == 32, "AsioTimeInfo");
static_assert(sizeof(ASIOTimeCode) == 84, "ASIOTimeCode");
static_assert(offsetof(ASIOTimeCode, flags) == 16 && offsetof(ASIOTimeCode, future) == 20, "ASIOTimeCode");
static_assert(sizeof(ASIOTime) == 148, "ASIOTime");
static_assert(offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64, "ASIOTime");
static_assert(sizeof(ASIOIoFormat) == 512, "ASIOIoFormat");
static_assert(offsetof(ASIOBufferInfo, buffers) == 8, "ASIOBufferInfo.buffers");
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void *), "ASIOBufferInfo");
static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void *), "ASIOCallbacks");
#endif
