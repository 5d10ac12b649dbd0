// The program's cryptography: SHA-256, its HMAC, PBKDF2 over that HMAC, and random bytes.
// Only the digest's compression function comes from libcrypto (its low-level SHA-256, with the
// processor's extensions); the constructions on top are written here. libcrypto 3's one-shot
// and EVP calls fetch their algorithms from its provider tables, and linking any of them brings
// the whole default provider into the program: some 16,000 pointers the loader relocates at
// the start of every click, a page that computes nothing included.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace users {

using Digest = std::array<unsigned char, 32>;

// Makes libcrypto ready to compute: the functions below call it before their first digest.
// Where the program takes over libcrypto's start-up detection (see the source), the processor
// is asked here, once; elsewhere libcrypto has done it already and this does nothing.
void PrepareCrypto();

Digest Sha256(std::string_view text);
// HMAC-SHA-256 (RFC 2104) of `text` under `key`.
Digest HmacSha256(std::string_view key, std::string_view text);
// PBKDF2 (RFC 8018) with HMAC-SHA-256: `length` bytes derived from `password` and `salt`.
std::string Pbkdf2Sha256(std::string_view password, std::string_view salt, long rounds,
                         size_t length);
// `n` bytes from the kernel's random source; false when it gives none.
bool RandomBytes(unsigned char* out, size_t n);
// Compares two texts in a time that tells nothing of where they differ.
bool SameBytes(const unsigned char* a, const unsigned char* b, size_t n);

// Lowercase hexadecimal of `n` bytes, and of the digest's first `bytes` bytes.
std::string ToHex(const unsigned char* bytes, size_t n);
std::string DigestHex(const Digest& digest, size_t bytes = 32);

}  // namespace users
