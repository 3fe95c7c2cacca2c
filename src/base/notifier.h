// How the core tells the operator something: the GUI shows message boxes, the headless program
// writes to standard error, tests record the calls.
#pragma once

#include <string>

namespace qln {

class Notifier {
 public:
  virtual ~Notifier() = default;
  // A warning the operator must acknowledge; returns once acknowledged. Never called while the
  // model lock is held.
  virtual void Warning(const std::string& text, const std::string& caption) = 0;
  // A failure the operator must learn of (a configuration write that did not reach the disk).
  // Never blocks: it may be called while the model lock is held.
  virtual void Problem(const std::string& text) = 0;
};

// Warnings and problems on standard error; a warning is printed, not waited for (there is nobody
// to acknowledge it).
class StderrNotifier final : public Notifier {
 public:
  void Warning(const std::string& text, const std::string& caption) override;
  void Problem(const std::string& text) override;
};

}  // namespace qln
