#include "users/crypto_start.h"

#include <cstdint>

// libcrypto asks the processor what it offers (a series of CPUID instructions) from a hook
// that runs at the start of every process it is linked into, whether or not the process then
// computes anything. Under a hypervisor each of those instructions traps, and a click that
// never computes a MAC paid for it about as much as for the program's own work. Where the
// static libcrypto of x86-64 is linked in, the build defines QUORB_LAZY_CPU_DETECTION: the
// hook is defined here as doing nothing, so the library's own is never linked, and the same
// detection runs in PrepareCrypto, before the first MAC or random key. Until then the
// capability vector is zero, which libcrypto reads as the plain x86-64 code paths.
#if defined(QUORB_LAZY_CPU_DETECTION)
extern "C" {
extern unsigned int OPENSSL_ia32cap_P[4];
std::uint64_t OPENSSL_ia32_cpuid(unsigned int* cap);
void OPENSSL_cpuid_setup(void) {}
}
#endif

namespace users {

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

}  // namespace users
