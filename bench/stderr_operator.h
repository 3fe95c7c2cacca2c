// What the simulator tells the operator during a probe, on standard error; nothing is expected.
#pragma once

#include <cstdio>
#include <string>

#include "base/notifier.h"
#include "base/console.h"

namespace qln::bench {

class StderrOperator final : public qln::Notifier, public qln::Console {
 public:
  void Warning(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
  void Problem(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  void Note(const std::string& text) override { std::fputs(text.c_str(), stderr); }
};

}  // namespace qln::bench
