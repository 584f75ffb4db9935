// A stand-in for pnputil.exe that the cleanup tool's tests start in its place. It answers each
// command line from a script, writes what the script says to standard output and standard error
// (in as many pieces as the script has lines), exits with the scripted code, and appends the
// command line it received to a record beside the script.
//
// The script is named by the environment variable FAKE_PNPUTIL_SCRIPT; the record is that path
// with ".calls" appended, one UTF-8 line per start. Script lines hold TAB-separated fields; text
// fields may use \\ \t \r \n and \xHH.
//
//   command <arguments>    what follows answers this command ("*": any command without its own)
//   out <text>             one write to standard output
//   err <text>             one write to standard error
//   block <published> <original>   one block of driver-store enumeration output, CR LF line ends
//   pause <milliseconds>   a pause between writes, so that they reach the reader separately
//   exit <code>            the exit code (32-bit, default 0)
//   linger <milliseconds>  after the output, close standard output and error, then stay alive
//
// A command without an answer writes a note to standard error and exits with 87.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace {

struct Step {
  std::string kind;
  std::vector<std::string> fields;
};

struct Answer {
  std::string arguments;
  std::vector<Step> steps;
};

std::string Unescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out.push_back(text[i]);
      continue;
    }
    char c = text[++i];
    if (c == 'n') out.push_back('\n');
    else if (c == 'r') out.push_back('\r');
    else if (c == 't') out.push_back('\t');
    else if (c == 'x' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16)));
      i += 2;
    } else out.push_back(c);
  }
  return out;
}

std::vector<std::string> Split(const std::string &line, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = line.find(separator, start);
    parts.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Everything after the program's own name, as pnputil would see its arguments.
std::string ArgumentsOf(const std::string &commandLine) {
  size_t i = commandLine.find_first_not_of(" \t");
  if (i == std::string::npos) return std::string();
  if (commandLine[i] == '"') {
    size_t close = commandLine.find('"', i + 1);
    i = close == std::string::npos ? commandLine.size() : close + 1;
  } else {
    i = commandLine.find_first_of(" \t", i);
    if (i == std::string::npos) i = commandLine.size();
  }
  return Trim(commandLine.substr(i));
}

#ifdef _WIN32
std::string Utf8(const wchar_t *text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(strlen(out.c_str()));
  return out;
}
std::string CommandLine() { return Utf8(GetCommandLineW()); }
FILE *OpenScriptFile(const char *suffix, const wchar_t *mode) {
  const wchar_t *script = _wgetenv(L"FAKE_PNPUTIL_SCRIPT");
  if (!script) return nullptr;
  std::wstring path(script);
  for (const char *c = suffix; *c; ++c) path.push_back(static_cast<wchar_t>(*c));
  return _wfopen(path.c_str(), mode);
}
void Write(int stream, const std::string &bytes) {
  DWORD written = 0;
  WriteFile(GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), bytes.data(),
            static_cast<DWORD>(bytes.size()), &written, nullptr);
}
void Pause(unsigned milliseconds) { Sleep(milliseconds); }
void CloseOutput() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
  CloseHandle(out);
  if (err != out) CloseHandle(err);
}
[[noreturn]] void Exit(unsigned long code) { ExitProcess(static_cast<UINT>(code)); }
#else
std::string CommandLine() {
  const char *line = getenv("VANTREL_SIM_COMMAND_LINE");
  return line ? line : "";
}
FILE *OpenScriptFile(const char *suffix, const char *mode) {
  const char *script = getenv("FAKE_PNPUTIL_SCRIPT");
  if (!script) return nullptr;
  return fopen((std::string(script) + suffix).c_str(), mode);
}
void Write(int stream, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(stream, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}
void Pause(unsigned milliseconds) {
  struct timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}
void CloseOutput() {
  close(1);
  close(2);
}
// Host exit statuses hold 8 bits; the simulated machine reads the full code from this file.
[[noreturn]] void Exit(unsigned long code) {
  const char *file = getenv("VANTREL_SIM_EXIT_CODE_FILE");
  if (file && *file) {
    if (FILE *f = fopen(file, "w")) {
      fprintf(f, "%lu", code);
      fclose(f);
    }
  }
  exit(static_cast<int>(code & 0xFF));
}
#endif

#ifdef _WIN32
#define MODE(text) L##text
#else
#define MODE(text) text
#endif

std::vector<Answer> ReadScript() {
  std::vector<Answer> answers;
  FILE *f = OpenScriptFile("", MODE("rb"));
  if (!f) return answers;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
  fclose(f);
  for (std::string line : Split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> fields = Split(line, '\t');
    std::string kind = fields[0];
    fields.erase(fields.begin());
    for (auto &field : fields) field = Unescape(field);
    if (kind == "command") {
      answers.push_back(Answer{fields.empty() ? std::string() : Trim(fields[0]), {}});
    } else if (!answers.empty()) {
      answers.back().steps.push_back(Step{kind, fields});
    }
  }
  return answers;
}

std::string Field(const Step &step, size_t index) { return index < step.fields.size() ? step.fields[index] : ""; }

std::string Block(const std::string &published, const std::string &original) {
  return "Published Name:     " + published + "\r\n" + "Original Name:      " + original + "\r\n" +
         "Provider Name:      Vantrel\r\n" + "Class Name:         Sound, video and game controllers\r\n" +
         "Class GUID:         {4d36e96c-e325-11ce-bfc1-08002be10318}\r\n" +
         "Driver Version:     01/15/2024 1.2.0.102\r\n" + "Signer Name:        Vantrel Test Signing\r\n\r\n";
}

}  // namespace

int main() {
  std::string commandLine = CommandLine();
  if (FILE *record = OpenScriptFile(".calls", MODE("ab"))) {
    fprintf(record, "%s\n", commandLine.c_str());
    fclose(record);
  }
  std::string arguments = ArgumentsOf(commandLine);
  std::vector<Answer> answers = ReadScript();
  const Answer *answer = nullptr;
  for (auto &candidate : answers)
    if (candidate.arguments == arguments) answer = &candidate;
  if (!answer)
    for (auto &candidate : answers)
      if (candidate.arguments == "*") answer = &candidate;
  if (!answer) {
    Write(2, "fake pnputil: no answer for: " + arguments + "\r\n");
    Exit(87);
  }
  unsigned long code = 0;
  unsigned linger = 0;
  for (const Step &step : answer->steps) {
    if (step.kind == "out") Write(1, Field(step, 0));
    else if (step.kind == "err") Write(2, Field(step, 0));
    else if (step.kind == "block") Write(1, Block(Field(step, 0), Field(step, 1)));
    else if (step.kind == "pause") Pause(static_cast<unsigned>(strtoul(Field(step, 0).c_str(), nullptr, 10)));
    else if (step.kind == "exit") code = strtoul(Field(step, 0).c_str(), nullptr, 10);
    else if (step.kind == "linger") linger = static_cast<unsigned>(strtoul(Field(step, 0).c_str(), nullptr, 10));
  }
  if (linger) {
    CloseOutput();
    Pause(linger);
  }
  Exit(code);
}
