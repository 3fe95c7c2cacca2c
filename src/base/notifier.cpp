#include "base/notifier.h"

#include <cstdio>

namespace qln {

void StderrNotifier::Warning(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

void StderrNotifier::Problem(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace qln
