// The clock the core reads: a millisecond counter and the local date and time. Injected so that
// tests and benchmarks decide what time it is.
#pragma once

#include <cstdint>

namespace qln {

struct LocalTime {
  int year = 1900;  // full year
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds from an arbitrary origin; wraps at 2^32 like a system tick counter.
  virtual uint32_t Milliseconds() const = 0;
  virtual LocalTime Now() const = 0;
  // Microseconds since 1970-01-01 UTC, for time stamps that leave the program (captures). By
  // default Now() read as local time, to the millisecond.
  virtual int64_t EpochMicroseconds() const;
};

// The machine's clocks: a monotonic millisecond counter and the local wall-clock time.
class SystemClock final : public Clock {
 public:
  uint32_t Milliseconds() const override;
  LocalTime Now() const override;
  int64_t EpochMicroseconds() const override;
};

// The local date and time as microseconds since 1970-01-01 UTC.
int64_t EpochMicroseconds(const LocalTime& time);

}  // namespace qln
