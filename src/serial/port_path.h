// Which device a COM number opens. COM numbers stay 1..255 as stored files expect; COM n opens
// the device named by the key COM<n>Path of section HTDev_Sys when it has a value, otherwise
// /dev/ttyS<n-1>. The value pty:<link> names a virtual port: a pseudo-terminal whose other end
// is linked at <link>.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qln {

// "COM<n>Path", the key of section HTDev_Sys that names COM n's device.
std::string PortPathKey(int comNumber);

// The device text COM `comNumber` opens: `configuredPath` (the value of its COM<n>Path key) when
// not empty, otherwise /dev/ttyS<n-1>. Nothing for a number outside 1..255.
std::optional<std::string> PortDevice(int comNumber, std::string_view configuredPath);

// The <link> of a virtual port text "pty:<link>" (possibly empty); nothing for any other text.
std::optional<std::string_view> PtyLink(std::string_view device);

}  // namespace qln
