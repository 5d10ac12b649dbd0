#include "users/crypto.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

// libcrypto asks the processor what it offers (a series of CPUID instructions) from a hook
// that runs at the start of every process it is linked into, whether or not the process then
// computes anything. Under a hypervisor each of those instructions traps, and a click that
// never computes a MAC paid for it about as much as for the program's own work. Where the
// static libcrypto of x86-64 is linked in, the build defines QUORB_LAZY_CPU_DETECTION: the
// hook is defined here as doing nothing, so the library's own is never linked, and the same
// detection runs in PrepareCrypto, before the first digest. Until then the capability vector
// is zero, which libcrypto reads as the plain x86-64 code paths.
#if defined(QUORB_LAZY_CPU_DETECTION)
extern "C" {
extern unsigned int OPENSSL_ia32cap_P[4];
std::uint64_t OPENSSL_ia32_cpuid(unsigned int* cap);
void OPENSSL_cpuid_setup(void) {}
}
#endif

// The low-level digest calls are marked deprecated in libcrypto 3 in favour of EVP, which is
// what this file avoids (see the header).
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace users {
namespace {

constexpr size_t kBlock = 64;  // SHA-256's block

// The inner and outer digests of an HMAC with their padded keys already absorbed: each text
// under the same key then costs its own blocks and one more.
struct HmacState {
  SHA256_CTX inner, outer;
};

HmacState StartHmac(std::string_view key) {
  unsigned char block[kBlock] = {};
  if (key.size() > kBlock) {
    const Digest d = Sha256(key);
    std::memcpy(block, d.data(), d.size());
  } else {
    std::memcpy(block, key.data(), key.size());
  }
  HmacState s;
  unsigned char pad[kBlock];
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
  SHA256_Init(&s.inner);
  SHA256_Update(&s.inner, pad, kBlock);
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
  SHA256_Init(&s.outer);
  SHA256_Update(&s.outer, pad, kBlock);
  OPENSSL_cleanse(block, sizeof block);
  OPENSSL_cleanse(pad, sizeof pad);
  return s;
}

// The MAC of `a` followed by `b` under the state's key.
Digest FinishHmac(const HmacState& s, const unsigned char* a, size_t an,
                  const unsigned char* b = nullptr, size_t bn = 0) {
  Digest d;
  SHA256_CTX c = s.inner;
  SHA256_Update(&c, a, an);
  if (bn) SHA256_Update(&c, b, bn);
  SHA256_Final(d.data(), &c);
  c = s.outer;
  SHA256_Update(&c, d.data(), d.size());
  SHA256_Final(d.data(), &c);
  return d;
}

}  // namespace

void PrepareCrypto() {
#if defined(QUORB_LAZY_CPU_DETECTION)
  static const bool detected = [] {
    const std::uint64_t vec = OPENSSL_ia32_cpuid(OPENSSL_ia32cap_P);
    // As libcrypto's own hook leaves it: bit 10, reserved, marks the vector as set.
    OPENSSL_ia32cap_P[0] = static_cast<unsigned int>(vec) | (1u << 10);
    OPENSSL_ia32cap_P[1] = static_cast<unsigned int>(vec >> 32);
    return true;
  }();
  (void)detected;
#endif
}

Digest Sha256(std::string_view text) {
  PrepareCrypto();
  Digest d;
  SHA256_CTX c;
  SHA256_Init(&c);
  SHA256_Update(&c, text.data(), text.size());
  SHA256_Final(d.data(), &c);
  return d;
}

Digest HmacSha256(std::string_view key, std::string_view text) {
  PrepareCrypto();
  return FinishHmac(StartHmac(key), reinterpret_cast<const unsigned char*>(text.data()),
                    text.size());
}

std::string Pbkdf2Sha256(std::string_view password, std::string_view salt, long rounds,
                         size_t length) {
  PrepareCrypto();
  if (rounds < 1) return {};
  const HmacState s = StartHmac(password);
  std::string out;
  out.reserve(length);
  for (uint32_t block = 1; out.size() < length; ++block) {
    const unsigned char index[4] = {
        static_cast<unsigned char>(block >> 24), static_cast<unsigned char>(block >> 16),
        static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
    Digest u = FinishHmac(s, reinterpret_cast<const unsigned char*>(salt.data()), salt.size(),
                          index, sizeof index);
    Digest t = u;
    for (long i = 1; i < rounds; ++i) {
      u = FinishHmac(s, u.data(), u.size());
      for (size_t k = 0; k < t.size(); ++k) t[k] ^= u[k];
    }
    out.append(reinterpret_cast<const char*>(t.data()), std::min(t.size(), length - out.size()));
  }
  return out;
}

bool RandomBytes(unsigned char* out, size_t n) {
  while (n > 0) {
    const ssize_t got = getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool SameBytes(const unsigned char* a, const unsigned char* b, size_t n) {
  return CRYPTO_memcmp(a, b, n) == 0;
}

std::string ToHex(const unsigned char* bytes, size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

std::string DigestHex(const Digest& digest, size_t bytes) {
  return ToHex(digest.data(), std::min(bytes, digest.size()));
}

}  // namespace users
