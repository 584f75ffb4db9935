// Builds the script that the fake pnputil (fake_pnputil.cpp) answers from.
#pragma once

#include <stdio.h>

#include <string>

class PnputilScript {
 public:
  // What follows answers a command with exactly these arguments ("*": any other command).
  PnputilScript &Command(const std::string &arguments) { return Line("command", arguments); }
  PnputilScript &Out(const std::string &text) { return Line("out", text); }
  PnputilScript &Err(const std::string &text) { return Line("err", text); }
  PnputilScript &Block(const std::string &published, const std::string &original) {
    text_ += "block\t" + Escape(published) + "\t" + Escape(original) + "\n";
    return *this;
  }
  PnputilScript &Pause(unsigned milliseconds) { return Line("pause", std::to_string(milliseconds)); }
  PnputilScript &Exit(unsigned long code) { return Line("exit", std::to_string(code)); }
  PnputilScript &Linger(unsigned milliseconds) { return Line("linger", std::to_string(milliseconds)); }
  const std::string &Text() const { return text_; }

 private:
  PnputilScript &Line(const char *kind, const std::string &field) {
    text_ += std::string(kind) + "\t" + Escape(field) + "\n";
    return *this;
  }
  static std::string Escape(const std::string &text) {
    std::string out;
    for (char c : text) {
      unsigned char u = static_cast<unsigned char>(c);
      if (c == '\\') out += "\\\\";
      else if (c == '\n') out += "\\n";
      else if (c == '\r') out += "\\r";
      else if (c == '\t') out += "\\t";
      else if (u < 0x20) {
        char hex[8];
        snprintf(hex, sizeof(hex), "\\x%02X", u);
        out += hex;
      } else out.push_back(c);
    }
    return out;
  }
  std::string text_;
};
