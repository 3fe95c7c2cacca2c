// Client credentials (keys, passwords) never leave the program in a record of its traffic: the
// traffic log and the captures show a frame that carries them only up to the point where they
// begin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qln {

// Whether the frame (delimiter .. data; a checksum may follow) is a request that carries client
// credentials: command 31 with 541 or 542, or a command 77 whose tunnelled frame (after card,
// channel and preamble count) does.
bool CarriesCredentials(std::span<const uint8_t> request);

// How much of a frame belonging to `request` may be shown (the request itself, or its reply
// when `reply`): up to its byte count, a 31's 16-bit command number included (in a reply after
// the response code and status). Nothing when the request carries no credentials.
std::optional<std::size_t> CredentialsShownLength(std::span<const uint8_t> request, bool reply);

// Zeroes the frame's bytes (delimiter .. checksum) from `shown` on and sets its checksum again, so
// that it stays a well-formed frame. Returns whether anything was zeroed.
bool WithholdCredentials(std::span<uint8_t> frame, std::size_t shown);

}  // namespace qln
