// When libcrypto learns what the processor offers.
#pragma once

namespace users {

// Makes libcrypto ready to compute: call before the first MAC or random bytes. Where the
// program takes over libcrypto's start-up detection (see the source), the processor is asked
// here, once; elsewhere libcrypto has done it already and this does nothing.
void PrepareCrypto();

}  // namespace users
