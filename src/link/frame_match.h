// Whether one of the sixteen simulated devices must answer a master frame, and which one: the
// frame check at the end of a frame, on the link's published view of the devices. A pure
// function of its inputs, shared by every transport that carries HART frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/hart_frame.h"
#include "base/link_view.h"

namespace qln {

struct FrameCheck {
  bool Accepted = false;
  // The device selected by the last address match: the one that answers an accepted frame. A
  // frame may change it and still be ignored (a long address that matches, with a wrong tag).
  uint8_t AddressedDevice = 0;
  uint8_t Master = 0;                     // 1 primary, 0 secondary (bit 7 of address byte 1)
  uint8_t Command = 0;                    // the command answered (short frames: 0)
  std::size_t CountPos = kShortCountPos;  // position of the byte count field
  uint8_t FrameErrors = 0;                // the errors given, plus 0x88 for a checksum mismatch
};

// `frame` holds the bytes from the delimiter on (bytes after the checksum may follow). A frame
// with errors (line errors, an overflow) is accepted without a checksum test; `headerDamaged`
// (an error in the bytes that address a device) makes it unanswerable. `addressedDevice` is the
// device addressed before: it answers command 11 sent to the broadcast address and command 21
// when no long address matches. A device that is not enabled never becomes the addressed device
// and never answers.
FrameCheck CheckFrame(const LinkView& view, std::span<const uint8_t> frame, uint8_t frameErrors,
                      bool headerDamaged, uint8_t addressedDevice);

}  // namespace qln
