#include <openssl/rand.h>

#include <climits>
#include <stdexcept>

#include "platform/random.h"

namespace korvath::platform {

void randomBytes(std::span<std::uint8_t> bytes) {
    // Fails only when libcrypto's generator could not be seeded from the system.
    if (bytes.size() > INT_MAX || RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw std::runtime_error("no random bytes from libcrypto");
    }
}

}  // namespace korvath::platform
