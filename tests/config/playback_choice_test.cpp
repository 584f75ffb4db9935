// Which device the settings program says the driver plays on, how it judges the endpoint's
// default format, and the buffer sizes it shows beside the latency.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "driver.h"
#include "machine.h"
#include "playback_choice.h"

namespace {

using testsupport::ExecutableIdentityPath;
using testsupport::ExecutablePath;
using testsupport::WriteFileBytes;
using testsupport::WriteSettingDword;

const char kIdentity[] = "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5&PID_7A11\r\nVantrel ASIO\r\nVantrel USB DAC\r\n";

struct Devices {
  ma_device_info list[3];
  explicit Devices(std::initializer_list<const char *> names) {
    memset(list, 0, sizeof(list));
    ma_uint32 i = 0;
    for (const char *name : names) snprintf(list[i++].name, sizeof(list[0].name), "%s", name);
  }
};

class ChoosePlaybackDeviceTest : public MachineTest {
 protected:
  // The tests run the choice for a "driver" whose identity file lies beside the test program.
  PlaybackChoice Choose(const Devices &devices, ma_uint32 count) {
    LPOLESTR description = reinterpret_cast<LPOLESTR>(0x1);
    PlaybackChoice choice = ChoosePlaybackDevice(ExecutablePath().c_str(), devices.list, count, &description);
    text = description ? description : L"";
    CoTaskMemFree(description);
    return choice;
  }
  std::wstring text;
};

TEST_F(ChoosePlaybackDeviceTest, TheDeviceNamedByTheIdentityFileIsMarked) {
  WriteFileBytes(ExecutableIdentityPath(), kIdentity);
  Devices devices({"Speakers (Realtek)", "Line (Vantrel USB DAC)", "Vantrel USB DAC 2"});
  PlaybackChoice choice = Choose(devices, 3);
  EXPECT_TRUE(choice.identityRead);
  EXPECT_EQ(1, choice.matched);
  EXPECT_EQ(1, choice.playedOn);
  EXPECT_EQ(L"Vantrel USB DAC", text);
  WCHAR sentence[512];
  DescribePlaybackChoice(choice, text.c_str(), L"Line (Vantrel USB DAC)", sentence, _countof(sentence));
  EXPECT_STREQ(L"The driver plays on \"Line (Vantrel USB DAC)\" (marked), the device whose name contains "
               L"\"Vantrel USB DAC\".",
               sentence);
}

TEST_F(ChoosePlaybackDeviceTest, WithoutAMatchTheDriverTakesTheFirstDevice) {
  WriteFileBytes(ExecutableIdentityPath(), kIdentity);
  Devices devices({"Speakers (Realtek)", "vantrel usb dac"});  // the match is case-sensitive
  PlaybackChoice choice = Choose(devices, 2);
  EXPECT_EQ(-1, choice.matched);
  EXPECT_EQ(0, choice.playedOn);
  WCHAR sentence[512];
  DescribePlaybackChoice(choice, text.c_str(), L"Speakers (Realtek)", sentence, _countof(sentence));
  EXPECT_NE(nullptr, wcsstr(sentence, L"No playback device's name contains \"Vantrel USB DAC\""));
  EXPECT_NE(nullptr, wcsstr(sentence, L"\"Speakers (Realtek)\""));
}

TEST_F(ChoosePlaybackDeviceTest, NoDevicesAtAll) {
  WriteFileBytes(ExecutableIdentityPath(), kIdentity);
  Devices devices({});
  PlaybackChoice choice = Choose(devices, 0);
  EXPECT_EQ(-1, choice.matched);
  EXPECT_EQ(-1, choice.playedOn);
  WCHAR sentence[512];
  DescribePlaybackChoice(choice, text.c_str(), nullptr, sentence, _countof(sentence));
  EXPECT_NE(nullptr, wcsstr(sentence, L"Windows lists no playback device."));
}

TEST_F(ChoosePlaybackDeviceTest, AnUnreadableIdentityFileMatchesNothing) {
  Devices devices({"Vantrel USB DAC"});
  PlaybackChoice choice = Choose(devices, 1);
  EXPECT_FALSE(choice.identityRead);
  EXPECT_EQ(-1, choice.matched);
  EXPECT_TRUE(text.empty());
  // Without the identity file hosts cannot start the driver at all: that comes first.
  WCHAR sentence[512];
  DescribePlaybackChoice(Choose(devices, 0), nullptr, nullptr, sentence, _countof(sentence));
  EXPECT_NE(nullptr, wcsstr(sentence, L"The identity file asio.dll.ini"));
  // A first line that is no class identifier stops the driver's init just the same.
  WriteFileBytes(ExecutableIdentityPath(), "not a guid\r\nUSB\\VID_F1E5\r\nName\r\nVantrel USB DAC\r\n");
  EXPECT_FALSE(Choose(devices, 1).identityRead);
}

// The list the program shows comes from miniaudio itself (natively its null backend).
TEST_F(ChoosePlaybackDeviceTest, MiniaudiosOwnListIsSearched) {
  ma_context context;
  ASSERT_EQ(MA_SUCCESS, ma_context_init(nullptr, 0, nullptr, &context));
  ma_device_info *devices = nullptr;
  ma_uint32 count = 0;
  ASSERT_EQ(MA_SUCCESS, ma_context_get_devices(&context, &devices, &count, nullptr, nullptr));
  if (count == 0) {  // a Wine prefix without an audio device
    ma_context_uninit(&context);
    GTEST_SKIP() << "no playback device listed";
  }
  // The description names the last device listed (natively the null backend's only one).
  WriteFileBytes(ExecutableIdentityPath(), std::string("{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5\r\nName\r\n") +
                                               devices[count - 1].name + "\r\n");
  LPOLESTR description = nullptr;
  PlaybackChoice choice = ChoosePlaybackDevice(ExecutablePath().c_str(), devices, count, &description);
  EXPECT_EQ(static_cast<LONG>(count - 1), choice.matched) << devices[count - 1].name;
  CoTaskMemFree(description);
  ma_context_uninit(&context);
}

// A WAVEFORMATEX (18 bytes) or WAVEFORMATEXTENSIBLE (40 bytes) as the property holds it.
std::string WaveFormat(WORD tag, WORD channels, DWORD rate, WORD bits, WORD validBits = 0, WORD subtype = 0) {
  std::string bytes(tag == 0xFFFE ? 40 : 18, '\0');
  auto put16 = [&](size_t at, WORD v) { bytes[at] = static_cast<char>(v & 0xFF); bytes[at + 1] = static_cast<char>(v >> 8); };
  auto put32 = [&](size_t at, DWORD v) { put16(at, static_cast<WORD>(v)); put16(at + 2, static_cast<WORD>(v >> 16)); };
  put16(0, tag);
  put16(2, channels);
  put32(4, rate);
  put16(12, static_cast<WORD>(channels * bits / 8));
  put16(14, bits);
  if (tag == 0xFFFE) {
    put16(16, 22);
    put16(18, validBits);
    put32(20, 3);
    const unsigned char tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    put32(24, subtype);
    memcpy(&bytes[28], tail, sizeof(tail));
  }
  return bytes;
}

// `size` less than the bytes given: the bytes past it are there but must not be relied on.
EndpointFormat Parsed(const std::string &bytes, bool expectKnown = true, size_t size = std::string::npos) {
  EndpointFormat format;
  memset(&format, 0xA5, sizeof(format));
  EXPECT_EQ(expectKnown, ParseWaveFormat(reinterpret_cast<const BYTE *>(bytes.data()), std::min(size, bytes.size()),
                                         &format));
  EXPECT_EQ(expectKnown, format.known);
  return format;
}

TEST(ParseWaveFormatTest, PlainAndExtensibleFormats) {
  EndpointFormat cd = Parsed(WaveFormat(1, 2, 44100, 16));
  EXPECT_EQ(44100u, cd.sampleRate);
  EXPECT_EQ(16, cd.containerBits);
  EXPECT_EQ(16, cd.validBits);
  EXPECT_EQ(2, cd.channels);
  EXPECT_FALSE(cd.isFloat);

  EndpointFormat studio = Parsed(WaveFormat(0xFFFE, 2, 48000, 32, 24, 1));
  EXPECT_EQ(32, studio.containerBits);
  EXPECT_EQ(24, studio.validBits);
  EXPECT_FALSE(studio.isFloat);

  EXPECT_TRUE(Parsed(WaveFormat(0xFFFE, 8, 96000, 32, 32, 3)).isFloat);
  EXPECT_TRUE(Parsed(WaveFormat(3, 2, 48000, 32)).isFloat);
}

TEST(ParseWaveFormatTest, ShortOrForeignBytesAreUnknown) {
  std::string plain = WaveFormat(1, 2, 44100, 16);
  std::string extensible = WaveFormat(0xFFFE, 2, 48000, 32, 32, 1);
  Parsed(plain, false, 17);
  Parsed(extensible, false, 39);
  std::string shortExtra = extensible, longExtra = extensible, wideSubtype = extensible, otherGuid = extensible;
  shortExtra[16] = 21;  // too small for the extensible part
  longExtra[16] = 23;   // claims a byte past the end
  wideSubtype[26] = 1;  // 0x00010001 is no format tag
  otherGuid[39] ^= 1;   // not one of the KSDATAFORMAT_SUBTYPE_ family
  std::string floatWithExtra = WaveFormat(3, 2, 48000, 32);
  floatWithExtra[16] = 2;
  int index = 0;
  for (const std::string &bytes : {shortExtra, longExtra, wideSubtype, otherGuid, floatWithExtra,
                                   WaveFormat(0xFFFE, 2, 48000, 32, 32, 0x92) /* compressed */,
                                   WaveFormat(0x0055, 2, 44100, 0)}) {
    SCOPED_TRACE(index++);
    Parsed(bytes, false);
  }
  // Plain PCM is the one format whose extra size is ignored.
  plain[16] = 4;
  EXPECT_EQ(44100u, Parsed(plain).sampleRate);
  EndpointFormat none;
  EXPECT_FALSE(ParseWaveFormat(nullptr, 40, &none));
}

FormatVerdict Judge(const std::string &bytes, bool exclusive, std::wstring *text, std::wstring *advice) {
  EndpointFormat format = Parsed(bytes);
  format.exclusiveAccepted = exclusive;
  WCHAR t[160], a[400];
  FormatVerdict verdict = JudgeEndpointFormat(format, t, _countof(t), a, _countof(a));
  *text = t;
  *advice = a;
  return verdict;
}

TEST(JudgeEndpointFormatTest, OnlyTwoChannelsOf32BitIntegersPassUnchanged) {
  std::wstring text, advice;
  EXPECT_EQ(FormatVerdict::kBitPerfect, Judge(WaveFormat(0xFFFE, 2, 88200, 32, 32, 1), true, &text, &advice));
  EXPECT_EQ(L"Windows default format: 88200 Hz, 32-bit, 2 channels.", text);
  EXPECT_NE(nullptr, wcsstr(advice.c_str(), L"88200 Hz"));
  EXPECT_EQ(nullptr, wcsstr(advice.c_str(), L"Warning"));
  // No valid-bit count means the whole word is valid.
  EXPECT_EQ(FormatVerdict::kBitPerfect, Judge(WaveFormat(0xFFFE, 2, 44100, 32, 0, 1), true, &text, &advice));
  EXPECT_EQ(L"Windows default format: 44100 Hz, 32-bit, 2 channels.", text);

  EXPECT_EQ(FormatVerdict::kConverted, Judge(WaveFormat(0xFFFE, 2, 48000, 32, 24, 1), true, &text, &advice));
  EXPECT_EQ(L"Windows default format: 48000 Hz, 24-bit in 32-bit words, 2 channels.", text);
  EXPECT_NE(nullptr, wcsstr(advice.c_str(), L"\"2 channel, 32 bit\""));
  EXPECT_EQ(FormatVerdict::kConverted, Judge(WaveFormat(0xFFFE, 2, 48000, 32, 32, 3), true, &text, &advice));
  EXPECT_EQ(L"Windows default format: 48000 Hz, 32-bit float, 2 channels.", text);
  EXPECT_EQ(FormatVerdict::kConverted, Judge(WaveFormat(1, 2, 44100, 16), true, &text, &advice));
  EXPECT_EQ(FormatVerdict::kConverted, Judge(WaveFormat(0xFFFE, 6, 48000, 32, 32, 1), true, &text, &advice));
}

TEST(JudgeEndpointFormatTest, AFormatRefusedForExclusiveUseSaysSo) {
  std::wstring text, advice;
  EXPECT_EQ(FormatVerdict::kConverted, Judge(WaveFormat(0xFFFE, 2, 44100, 32, 32, 1), false, &text, &advice));
  EXPECT_NE(nullptr, wcsstr(advice.c_str(), L"exclusive control"));
  EndpointFormat unknown = {};
  WCHAR t[160], a[400];
  EXPECT_EQ(FormatVerdict::kUnknown, JudgeEndpointFormat(unknown, t, _countof(t), a, _countof(a)));
  EXPECT_EQ(L'\0', a[0]);
}

class BufferSizesTest : public MachineTest {};

// The sizes shown are the ones a driver object built from the same settings reports.
TEST_F(BufferSizesTest, AgreeWithTheDriverObject) {
  for (DWORD latency : {1u, 5u, 7u, 10u, 333u, 1000u}) {
    WriteSettingDword(L"latencyms", latency);
    long atCd = 0, atDvd = 0, inDsd = 0, unused = 0;
    {
      ASIOPelkor driver(nullptr);
      ASSERT_EQ(ASE_OK, driver.getBufferSize(&unused, &unused, &atCd, &unused));
      ASSERT_EQ(ASE_OK, driver.setSampleRate(48000.0));
      ASSERT_EQ(ASE_OK, driver.getBufferSize(&unused, &unused, &atDvd, &unused));
      ASIOIoFormat dsd = {};
      dsd.FormatType = kASIODSDFormat;
      ASSERT_EQ(ASE_SUCCESS, driver.future(kAsioSetIoFormat, &dsd));
      ASSERT_EQ(ASE_OK, driver.setSampleRate(64 * 44100.0));
      ASSERT_EQ(ASE_OK, driver.getBufferSize(&unused, &unused, &inDsd, &unused));
    }
    WCHAR text[160];
    DescribeBufferSizes(latency, text, _countof(text));
    WCHAR expected[160];
    swprintf(expected, _countof(expected),
             L"Buffer size: %ld frames at 44100 Hz, %ld at 48000 Hz; in DSD64 %ld one-bit samples (%ld words).", atCd,
             atDvd, inDsd, inDsd / 32);
    EXPECT_STREQ(expected, text) << "latency " << latency;
  }
}

// What the settings program says while the driver's record of a replaced format exists.
TEST(DescribeReplacedFormatTest, SaysWhatWasReplacedAndWhenItComesBack) {
  // A plain WAVEFORMATEX of float samples: tag 3, 2 channels, 48000 Hz, 8 bytes a frame, 32 bits.
  const BYTE floatFormat[18] = {3, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0xDC, 5, 0, 8, 0, 32, 0, 0, 0};
  FormatRecordView record = {};
  WCHAR text[400];
  EXPECT_EQ(ReplacedNotice::kNone, DescribeReplacedFormat(record, text, _countof(text)));
  EXPECT_STREQ(L"", text);

  record.exists = true;
  record.user.size = sizeof(floatFormat);
  memcpy(record.user.bytes, floatFormat, sizeof(floatFormat));
  MakeStreamFormat(96000, &record.set);
  record.held = true;
  EXPECT_EQ(ReplacedNotice::kHeld, DescribeReplacedFormat(record, text, _countof(text)));
  EXPECT_STREQ(L"The driver replaced your Windows format, 32-bit float, 48000 Hz, 2 ch, with 32-bit, 96000 Hz, 2 ch; "
               L"yours goes back when the last host closes the driver.",
               text);
  record.held = false;
  EXPECT_EQ(ReplacedNotice::kLeft, DescribeReplacedFormat(record, text, _countof(text)));
  EXPECT_STREQ(L"The driver replaced your Windows format, 32-bit float, 48000 Hz, 2 ch, with 32-bit, 96000 Hz, 2 ch, "
               L"and no host holds the driver any more. Put back restores yours now.",
               text);
}

}  // namespace
