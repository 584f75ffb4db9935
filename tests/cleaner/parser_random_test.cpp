// Safety of the driver-store parser: generated enumeration outputs with mixed, malformed and
// repeated blocks; exactly the device's packages, each once, in order of first appearance, may
// be deleted.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "cleaner_fixture.h"
#include "log.h"
#include "package_removal.h"
#include "sim/machine.h"

namespace {

struct Generated {
  std::string text;
  std::vector<std::string> expected;
  bool repeated = false;  // a matching package is listed again later
};

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  Generated Next() {
    Generated out;
    // Lines before the first block: a match here has no package to belong to.
    for (int i = Pick(3); i > 0; --i) AddLine(&out, ContentLine().first);
    for (int block = Pick(9); block > 0; --block) {
      std::string name = "oem" + std::to_string(1 + Pick(12)) + ".inf";
      bool named = true;
      switch (Pick(6)) {
        case 0: AddLine(&out, "Published Name:" + Blanks() + name + Blanks()); break;
        case 1: AddLine(&out, Blanks() + "Published name :" + Blanks() + name); break;
        case 2: AddLine(&out, "Published Name:" + name); break;
        case 3: AddLine(&out, "Published Name " + name), named = false; break;       // no colon
        case 4: AddLine(&out, "Published Name:" + Blanks()), named = false; break;  // no value
        default: AddLine(&out, "Published Name: \t \t"), named = false; break;      // blanks only
      }
      bool matches = false;
      for (int line = Pick(7); line > 0; --line) {
        auto content = ContentLine();
        AddLine(&out, content.first);
        matches = matches || content.second;
      }
      if (named && matches) {
        if (std::find(out.expected.begin(), out.expected.end(), name) == out.expected.end())
          out.expected.push_back(name);
        else
          out.repeated = true;
      }
    }
    // The output may or may not end with a line end.
    if (!out.text.empty() && Pick(2)) out.text.resize(out.text.find_last_not_of("\r\n") + 1);
    return out;
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string Blanks() {
    static const char *const kBlanks[] = {"", " ", "     ", "\t", " \t ", "\t\t"};
    return kBlanks[Pick(6)];
  }
  void AddLine(Generated *out, const std::string &line) { out->text += line + (Pick(2) ? "\r\n" : "\n"); }

  // A line inside a block, and whether it marks the block as the device's.
  std::pair<std::string, bool> ContentLine() {
    switch (Pick(12)) {
      case 0: return {"Original Name:" + Blanks() + "vantrel_rev0102.inf" + Blanks(), true};
      case 1: return {"Original name:" + Blanks() + "vantrel_rev0102.inf", true};
      case 2: return {"Original Name:" + Blanks() + "VANTREL_REV0102.INF", false};
      case 3: return {"Original Name:" + Blanks() + "vantrel_rev0103.inf", false};
      case 4: return {"Provider Name:" + Blanks() + "vantrel_rev0102.inf", false};
      case 5: return {"Hardware IDs:" + Blanks() + "USB\\VID_F1E5&PID_7A11&REV_0102", true};
      case 6: return {"Compatible:" + Blanks() + "USB\\VID_F1E5&PID_7A11&REV_0102&MI_00", true};
      case 7: return {"Hardware IDs:" + Blanks() + "usb\\vid_f1e5&pid_7a11&rev_0102", false};
      case 8: return {"Hardware IDs:" + Blanks() + "USB\\VID_F1E5&PID_7A12&REV_0102", false};
      case 9: return {"Class Name:" + Blanks() + "Sound, video and game controllers", false};
      case 10: return {"", false};
      default: return {"Driver Version:" + Blanks() + "01/15/2024 1.2.0.102", false};
    }
  }

  std::mt19937 rng_;
};

std::vector<std::string> Narrow(const std::vector<std::wstring> &names) {
  std::vector<std::string> out;
  for (auto &name : names) out.push_back(Utf8(name));
  return out;
}

std::wstring Widen(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(DriverPackageParserSafetyTest, GeneratedOutputsYieldExactlyTheMatchingPackages) {
  Generator generator(20260304);
  size_t withPackages = 0, withoutPackages = 0, withRepeats = 0;
  for (int round = 0; round < 3000; ++round) {
    Generated generated = generator.Next();
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + generated.text);
    ASSERT_EQ(generated.expected, Narrow(FindDriverPackages(Widen(generated.text))));
    (generated.expected.empty() ? withoutPackages : withPackages) += 1;
    if (generated.repeated) ++withRepeats;
  }
  // The generator must have produced both kinds of store, and stores that list a name twice.
  EXPECT_GT(withPackages, 500u);
  EXPECT_GT(withoutPackages, 300u);
  EXPECT_GT(withRepeats, 10u);
}

class DriverPackageDeletionSafetyTest : public CleanerTest {};

TEST_F(DriverPackageDeletionSafetyTest, OnlyTheMatchingPackagesAreDeletedEachOnceInOrder) {
  Generator generator(4242);
  int deletions = 0;
  for (int round = 0; round < 25; ++round) {
    Generated generated = generator.Next();
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + generated.text);
    // The output reaches the tool in up to three separate writes.
    PnputilScript script;
    script.Command("/enum-drivers");
    size_t third = generated.text.size() / 3;
    script.Out(generated.text.substr(0, third)).Pause(5).Out(generated.text.substr(third, third)).Pause(5);
    script.Out(generated.text.substr(2 * third));
    script.Command("*").Exit(0);
    SetScript(script);
    sim::WriteFile(L"C:\\Tests\\pnputil.script.calls", "");

    bool rebootRequired = false;
    ASSERT_TRUE(OpenLogStream(kLogPath));
    EXPECT_EQ(0, RemoveDriverPackages(rebootRequired));
    CloseLogStream();
    EXPECT_FALSE(rebootRequired);

    std::vector<std::string> expected = {"pnputil.exe /enum-drivers"};
    for (auto &name : generated.expected) expected.push_back("pnputil.exe /delete-driver " + name + " /uninstall /force");
    ASSERT_EQ(expected, PnputilCalls());
    deletions += static_cast<int>(generated.expected.size());
  }
  EXPECT_GT(deletions, 10);
}

}  // namespace
