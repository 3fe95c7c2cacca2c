// Whether a HART-IP server really answers, for a readiness or liveness check and for a person:
// over TCP a session initiate, command 0 to poll address 0 in a token-passing PDU and, when an
// I/O system answers it, its command 74 for the number of devices behind it; then the session is
// closed. Every step waits at most until one deadline, so a server that accepts connections but
// never answers fails the probe as one that refuses them does.
#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"

namespace qln::hartip {

// One line saying what answered, for example "HART-IP at 127.0.0.1:5094 answers: I/O system
// 26-80-51-4C-4E with 8 devices behind it"; or what failed. A server that refuses the session
// because all its sessions are in use, or because its security policy wants TLS, answers: it is
// alive, and the line says why no command could be sent.
Result<std::string> ProbeServer(const std::string& address, uint16_t port, uint32_t timeoutMs);

}  // namespace qln::hartip
