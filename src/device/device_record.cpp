#include "device/device_record.h"

#include <bit>
#include <cstddef>
#include <string_view>

#include "base/encodings.h"

namespace qln {

DeviceRecord::DeviceRecord() : PVDampValue(std::bit_cast<float>(0x41199999u)) {
  // Texts shown until a configuration file has been read.
  std::size_t count = 0;
  PackAscii("QUILLON HART FIELD DEVICE SIM.  ", Message.data(), &count);
  PackAscii("QUILLON ", TagName.data(), &count);
  PackAscii("                ", Descriptor.data(), &count);
  for (std::size_t i = 0; i < Cmd48Status.size(); ++i) {
    Cmd48Status[i] = (i <= 5 || i >= 14) ? 1 : 0;
  }
}

}  // namespace qln
