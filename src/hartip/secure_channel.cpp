#include "hartip/secure_channel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace qln::hartip {
namespace {

// TLS 1.2 and DTLS 1.2: pre-shared-key suites only (no certificate is ever sent). TLS 1.3 keeps
// OpenSSL's suites, which take the same PSK.
constexpr const char* kPskSuites =
    "PSK-AES128-GCM-SHA256:PSK-AES256-GCM-SHA384:PSK-AES128-CCM:PSK-AES256-CCM:"
    "PSK-CHACHA20-POLY1305:PSK-AES128-CBC-SHA256:ECDHE-PSK-CHACHA20-POLY1305:"
    "ECDHE-PSK-AES128-CBC-SHA256";
// The datagram size a DTLS record is cut to: HART-IP messages (512 bytes) fit whole.
constexpr long kDatagramMtu = 1400;
constexpr std::size_t kCookieBytes = 32;
// The longest identity a console note repeats.
constexpr std::size_t kShownIdentity = 64;

// The identity as a console note shows it: printable characters, '?' for the others (and for an
// empty identity), cut at kShownIdentity.
std::string Printable(const char* text) {
  std::string shown(std::min(std::strlen(text), kShownIdentity), '?');
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (text[i] >= 0x20 && text[i] < 0x7F) shown[i] = text[i];
  }
  return shown.empty() ? std::string(1, '?') : shown;
}

}  // namespace

SecureChannel::SecureChannel(ssl_st* ssl, bool datagram) : ssl_(ssl), datagram_(datagram) {
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  // An empty input is "no more yet", not the end of the stream.
  BIO_set_mem_eof_return(in_, -1);
  BIO_set_mem_eof_return(out_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_app_data(ssl_, this);
  SSL_set_accept_state(ssl_);
  if (datagram_) {
    // A memory BIO knows no path MTU: the records are cut to one that every network carries.
    SSL_set_options(ssl_, SSL_OP_NO_QUERY_MTU);
    DTLS_set_link_mtu(ssl_, kDatagramMtu);
  }
}

SecureChannel::~SecureChannel() { SSL_free(ssl_); }

void SecureChannel::Feed(std::span<const uint8_t> ciphertext) {
  if (state_ == State::Failed || state_ == State::Closed || ciphertext.empty()) return;
  BIO_write(in_, ciphertext.data(), static_cast<int>(ciphertext.size()));
  Advance();
}

void SecureChannel::Advance() {
  ERR_clear_error();
  if (state_ == State::Handshaking) {
    const int done = SSL_do_handshake(ssl_);
    if (done != 1) {
      const int error = SSL_get_error(ssl_, done);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) Fail(done);
      return;
    }
    state_ = State::Open;
  }
  std::array<uint8_t, 16384> buffer;
  while (state_ == State::Open) {
    const int got = SSL_read(ssl_, buffer.data(), static_cast<int>(buffer.size()));
    if (got > 0) {
      // A stream's pieces are joined; each DTLS record stays a message of its own.
      if (datagram_ || plaintext_.empty()) plaintext_.emplace_back();
      plaintext_.back().insert(plaintext_.back().end(), buffer.data(), buffer.data() + got);
      continue;
    }
    const int error = SSL_get_error(ssl_, got);
    if (error == SSL_ERROR_ZERO_RETURN) {
      state_ = State::Closed;
    } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      Fail(got);
    }
    break;
  }
}

void SecureChannel::Fail(int result) {
  state_ = State::Failed;
  const unsigned long error = ERR_peek_last_error();
  if (!unknownIdentity_.empty()) {
    failure_ = "unknown PSK identity \"" + unknownIdentity_ + "\"";
  } else if (error != 0 && ERR_reason_error_string(error) != nullptr) {
    failure_ = ERR_reason_error_string(error);
  } else {
    failure_ = result == 0 ? "the peer ended the handshake" : "the handshake failed";
  }
  ERR_clear_error();
}

std::vector<std::vector<uint8_t>> SecureChannel::TakePlaintext() {
  return std::exchange(plaintext_, {});
}

bool SecureChannel::Write(std::span<const uint8_t> plaintext) {
  if (state_ != State::Open || plaintext.empty()) return false;
  ERR_clear_error();
  const int written = SSL_write(ssl_, plaintext.data(), static_cast<int>(plaintext.size()));
  if (written != static_cast<int>(plaintext.size())) {
    Fail(written);
    return false;
  }
  return true;
}

bool SecureChannel::HasCiphertext() const { return BIO_ctrl_pending(out_) > 0; }

std::vector<uint8_t> SecureChannel::TakeCiphertext() {
  std::vector<uint8_t> bytes(BIO_ctrl_pending(out_));
  if (!bytes.empty()) {
    const int got = BIO_read(out_, bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  }
  return bytes;
}

void SecureChannel::Close() {
  if (state_ == State::Open) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
  if (state_ != State::Failed) state_ = State::Closed;
}

void SecureChannel::Retransmit() {
  if (datagram_ && state_ == State::Handshaking) {
    ERR_clear_error();
    DTLSv1_handle_timeout(ssl_);
    ERR_clear_error();
  }
}

SecureContext::SecureContext()
    : tls_(SSL_CTX_new(TLS_server_method())),
      dtls_(SSL_CTX_new(DTLS_server_method())),
      cookieSecret_(kCookieBytes) {
  RAND_bytes(cookieSecret_.data(), static_cast<int>(cookieSecret_.size()));
  for (ssl_ctx_st* context : {tls_, dtls_}) {
    SSL_CTX_set_app_data(context, this);
    SSL_CTX_set_cipher_list(context, kPskSuites);
    SSL_CTX_set_psk_server_callback(context, &SecureContext::FindKey);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  }
  SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
  SSL_CTX_set_num_tickets(tls_, 0);
  SSL_CTX_set_min_proto_version(dtls_, DTLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(dtls_, DTLS1_2_VERSION);
  SSL_CTX_set_cookie_generate_cb(dtls_, &SecureContext::MakeCookie);
  SSL_CTX_set_cookie_verify_cb(dtls_, &SecureContext::CheckCookie);
}

SecureContext::~SecureContext() {
  SSL_CTX_free(tls_);
  SSL_CTX_free(dtls_);
}

std::unique_ptr<SecureChannel> SecureContext::AcceptStream() {
  return std::unique_ptr<SecureChannel>(new SecureChannel(SSL_new(tls_), false));
}

SecureContext::Listened SecureContext::ListenDatagram(const Endpoint& from,
                                                      std::span<const uint8_t> datagram) {
  std::unique_ptr<SecureChannel> channel(new SecureChannel(SSL_new(dtls_), true));
  BIO_write(channel->in_, datagram.data(), static_cast<int>(datagram.size()));
  channel->peer_ = from;
  BIO_ADDR* client = BIO_ADDR_new();
  ERR_clear_error();
  const int listened = DTLSv1_listen(channel->ssl_, client);
  BIO_ADDR_free(client);
  ERR_clear_error();
  if (listened != 1) return {nullptr, channel->TakeCiphertext()};
  channel->Advance();
  return {std::move(channel), {}};
}

unsigned SecureContext::FindKey(ssl_st* ssl, const char* identity, unsigned char* psk,
                                unsigned maxLength) {
  auto* channel = static_cast<SecureChannel*>(SSL_get_app_data(ssl));
  const auto* context =
      static_cast<const SecureContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (channel == nullptr || context == nullptr || identity == nullptr) return 0;
  const auto found = std::find_if(context->clients_.begin(), context->clients_.end(),
                                  [&](const ClientEntry& c) { return c.identity == identity; });
  if (found == context->clients_.end() || found->key.size() > maxLength) {
    channel->unknownIdentity_ = Printable(identity);
    return 0;
  }
  std::memcpy(psk, found->key.data(), found->key.size());
  channel->client_ = *found;
  return static_cast<unsigned>(found->key.size());
}

// The cookie: an HMAC of the client's address and port under a secret drawn at start.
int SecureContext::MakeCookie(ssl_st* ssl, unsigned char* cookie, unsigned* length) {
  const auto* context =
      static_cast<const SecureContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  const auto* channel = static_cast<const SecureChannel*>(SSL_get_app_data(ssl));
  if (context == nullptr || channel == nullptr) return 0;
  const Endpoint& peer = channel->peer_;
  const std::array<uint8_t, 6> bound = {
      static_cast<uint8_t>(peer.address >> 24), static_cast<uint8_t>(peer.address >> 16),
      static_cast<uint8_t>(peer.address >> 8),  static_cast<uint8_t>(peer.address),
      static_cast<uint8_t>(peer.port >> 8),     static_cast<uint8_t>(peer.port)};
  unsigned made = 0;
  if (HMAC(EVP_sha256(), context->cookieSecret_.data(),
           static_cast<int>(context->cookieSecret_.size()), bound.data(), bound.size(), cookie,
           &made) == nullptr) {
    return 0;
  }
  *length = made;
  return 1;
}

int SecureContext::CheckCookie(ssl_st* ssl, const unsigned char* cookie, unsigned length) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> expected{};
  unsigned expectedLength = 0;
  if (MakeCookie(ssl, expected.data(), &expectedLength) != 1) return 0;
  return length == expectedLength && CRYPTO_memcmp(cookie, expected.data(), length) == 0 ? 1 : 0;
}

}  // namespace qln::hartip
