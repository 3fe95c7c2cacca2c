// How Quillon's captures (pcapng files, opened by Wireshark and tshark with their stock HART-IP
// dissector) hold its traffic, for the writer and for the reader that replays them:
// - one interface, link type LINKTYPE_IPV4 (raw IPv4 packets, no link-layer header), snap length
//   65535, timestamps in microseconds;
// - HART-IP traffic as the packets were on the wire: the host's and the server's IPv4 addresses
//   and ports, UDP datagrams as they were, TCP segments carrying the bytes as they arrived or
//   left, with sequence numbers that count them per direction of each connection (over TLS and
//   DTLS: the messages after decryption, as if they had been sent in plaintext);
// - serial frames (delimiter .. checksum, without preambles) wrapped as HART-IP token-passing PDUs
//   (version 1, message ID 3, status 0; a master's frame a request, a reply a response, a burst
//   frame a publish; sequence numbers counting the serial frames) in UDP datagrams between the
//   link-local addresses kSerialMasterAddress (the master's side of the line, port
//   kSerialMasterPort) and kSerialDeviceAddress (the devices' side, port kHartIpPort);
// - a packet comment (the enhanced packet block's opt_comment) says what the line showed beside
//   the frame: a line error, a busy reply, a fault applied, a burst frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qln {

inline constexpr uint16_t kCaptureLinkType = 228;  // LINKTYPE_IPV4
inline constexpr uint16_t kHartIpPort = 5094;
// The HART-IP message as captures hold it: an 8-byte header (version, type, message ID, status,
// sequence number, byte count), token-passing PDUs (ID 3) carrying HART frames, Direct PDUs (ID 4)
// carrying commands by 16-bit number; requests (type 0) and responses (type 1).
inline constexpr std::size_t kHartIpHeaderSize = 8;
inline constexpr uint8_t kHartIpRequest = 0;
inline constexpr uint8_t kHartIpResponse = 1;
inline constexpr uint8_t kTokenPassingPduId = 3;
inline constexpr uint8_t kDirectPduId = 4;
// 169.254.72.1 and 169.254.72.2 ("H" = 72): the two ends of the serial line.
inline constexpr uint32_t kSerialMasterAddress = 0xA9FE4801;
inline constexpr uint32_t kSerialDeviceAddress = 0xA9FE4802;
inline constexpr uint16_t kSerialMasterPort = 50940;

}  // namespace qln
