// windows.h first: the other system headers build on its definitions.
#include <windows.h>

#include <bcrypt.h>

#include <limits>
#include <stdexcept>

#include "platform/random.h"

namespace korvath::platform {

void randomBytes(std::span<std::uint8_t> bytes) {
    if (bytes.size() > std::numeric_limits<ULONG>::max() ||
        ::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        throw std::runtime_error("no random bytes from BCrypt");
    }
}

}  // namespace korvath::platform
