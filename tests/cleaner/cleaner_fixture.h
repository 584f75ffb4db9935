// The machine the cleanup tool's native tests run on: the simulated machine with an elevated
// token, a fixed clock and the fake pnputil installed as C:\Windows\System32\pnputil.exe.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "machine.h"
#include "pnputil_script.h"

// The log as the tests see it: whether it starts with the byte-order mark, how many marks it
// holds, and its messages (UTF-8) with the timestamp prefix taken off. `wellFormed` is false when
// a line lacks the prefix of the fixed clock or its CR LF.
struct LogContents {
  bool exists = false;
  bool startsWithBom = false;
  int boms = 0;
  bool wellFormed = true;
  std::vector<std::string> messages;
};

class CleanerTest : public MachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes this the script the fake pnputil answers from.
  void SetScript(const PnputilScript &script);
  // The command lines the fake pnputil received, in order.
  std::vector<std::string> PnputilCalls();
  static LogContents ReadLog(const std::wstring &path);
  // Runs the entry routine with these arguments after the program name.
  static int RunDevpurge(const std::vector<std::wstring> &arguments);

  static const wchar_t kLogPath[];
  // The prefix the fixed clock gives every line.
  static const char kPrefix[];
};

std::string Utf8(const std::wstring &text);
