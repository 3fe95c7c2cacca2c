// TLS over TCP and DTLS over UDP with pre-shared keys, on OpenSSL, without I/O: a channel takes
// the ciphertext that arrived and gives the plaintext in it; it takes plaintext to send and gives
// the ciphertext to put on the wire. The server (hartip_server.h) moves the bytes, so a handshake
// never waits on a socket and never holds up another session.
//
// The server offers pre-shared-key cipher suites only: TLS 1.2 (PSK-AES128-GCM-SHA256 and the
// other PSK suites of OpenSSL) and TLS 1.3 (its suites, keyed by the same PSK), DTLS 1.2 with
// the TLS 1.2 suites. A client names its PSK identity in the handshake; the key is the one the
// file's security section gives that identity (security_settings.h). DTLS handshakes start with
// a cookie exchange: a ClientHello gets a HelloVerifyRequest with a cookie bound to the client's
// address and port, and only a ClientHello that returns it creates an association, so spoofed
// addresses cost the server no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hartip/security_settings.h"
#include "hartip/session_table.h"

// OpenSSL's types, kept out of the including files.
struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

namespace qln::hartip {

// A record type byte that starts every TLS and DTLS handshake (a HART-IP header starts with its
// version, 1 or 2): how the server tells a handshake from a plaintext message.
inline constexpr uint8_t kHandshakeRecord = 0x16;

class SecureChannel {
 public:
  enum class State : uint8_t { Handshaking, Open, Failed, Closed };

  ~SecureChannel();
  SecureChannel(const SecureChannel&) = delete;
  SecureChannel& operator=(const SecureChannel&) = delete;

  // Ciphertext that arrived: a piece of the TCP stream, or one whole datagram.
  void Feed(std::span<const uint8_t> ciphertext);
  // The plaintext that arrived since the last call: for TLS a piece of the stream, for DTLS one
  // entry per record (each a HART-IP message, as a datagram would carry it).
  std::vector<std::vector<uint8_t>> TakePlaintext();
  // Encrypts a message (once Open; false otherwise).
  bool Write(std::span<const uint8_t> plaintext);
  // The ciphertext to send since the last call: TCP bytes, or one datagram's bytes.
  std::vector<uint8_t> TakeCiphertext();
  bool HasCiphertext() const;
  // Ends the channel with a close_notify alert (in TakeCiphertext).
  void Close();
  // DTLS: resends a flight whose answer is overdue (OpenSSL keeps that timer).
  void Retransmit();

  State state() const { return state_; }
  // Why the handshake or the channel failed, for the console (never a key).
  const std::string& Failure() const { return failure_; }
  // The client the handshake proved, once Open.
  const ClientEntry& Client() const { return client_; }
  bool Datagram() const { return datagram_; }

 private:
  friend class SecureContext;
  SecureChannel(ssl_st* ssl, bool datagram);
  void Advance();
  void Fail(int result);

  ssl_st* ssl_;
  bio_st* in_;   // owned by ssl_
  bio_st* out_;  // owned by ssl_
  bool datagram_;
  State state_ = State::Handshaking;
  std::string failure_;
  ClientEntry client_;
  std::string unknownIdentity_;  // an identity asked for that the file does not have
  Endpoint peer_;                // DTLS: the address and port its cookie is bound to
  std::vector<std::vector<uint8_t>> plaintext_;
};

// The server's TLS and DTLS contexts and the clients they accept. One thread uses it.
class SecureContext {
 public:
  SecureContext();
  ~SecureContext();
  SecureContext(const SecureContext&) = delete;
  SecureContext& operator=(const SecureContext&) = delete;

  // The clients a handshake may prove (the file's section as last read); channels that are open
  // keep the client they proved.
  void SetClients(std::vector<ClientEntry> clients) { clients_ = std::move(clients); }
  const std::vector<ClientEntry>& Clients() const { return clients_; }

  // A TLS channel for a TCP connection whose next bytes are a ClientHello.
  std::unique_ptr<SecureChannel> AcceptStream();

  // A datagram from a peer without a DTLS association: a ClientHello that returns a valid
  // cookie gives the association (the datagram already fed); any other gives the datagram to
  // send back (a HelloVerifyRequest, or nothing for what is no ClientHello).
  struct Listened {
    std::unique_ptr<SecureChannel> channel;
    std::vector<uint8_t> reply;
  };
  Listened ListenDatagram(const Endpoint& from, std::span<const uint8_t> datagram);

 private:
  static unsigned FindKey(ssl_st* ssl, const char* identity, unsigned char* psk,
                          unsigned maxLength);
  static int MakeCookie(ssl_st* ssl, unsigned char* cookie, unsigned* length);
  static int CheckCookie(ssl_st* ssl, const unsigned char* cookie, unsigned length);

  ssl_ctx_st* tls_;
  ssl_ctx_st* dtls_;
  std::vector<uint8_t> cookieSecret_;
  std::vector<ClientEntry> clients_;
};

}  // namespace qln::hartip
