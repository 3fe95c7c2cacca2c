// Where the serial worker leaves its two console notes (after a self test and after a device
// reset): standard error in the headless program, the GUI's own choice, a recorder in tests.
#pragma once

#include <string>

namespace qln {

class Console {
 public:
  virtual ~Console() = default;
  // One note, text exactly as given (it carries its own "\r\n"). Called on the serial worker
  // thread; must not block for long.
  virtual void Note(const std::string& text) = 0;
};

// The notes on standard error, as given: where both programs leave them.
class StderrConsole final : public Console {
 public:
  void Note(const std::string& text) override;
};

}  // namespace qln
