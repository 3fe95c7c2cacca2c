// Where the console notes go: the serial worker's two (after a self test and after a device
// reset) and the command thread's line for each fault used. Standard error in the headless
// program, the GUI's own choice, a recorder in tests.
#pragma once

#include <string>

namespace qln {

class Console {
 public:
  virtual ~Console() = default;
  // One note, text exactly as given (it carries its own "\r\n"). Called on the serial worker
  // thread and on the command thread, possibly at the same time (one fputs to standard error
  // is safe for that); must not block for long.
  virtual void Note(const std::string& text) = 0;
};

// The notes on standard error, as given: where both programs leave them.
class StderrConsole final : public Console {
 public:
  void Note(const std::string& text) override;
};

}  // namespace qln
