#include "base/console.h"

#include <cstdio>

namespace qln {

void StderrConsole::Note(const std::string& text) { std::fputs(text.c_str(), stderr); }

}  // namespace qln
