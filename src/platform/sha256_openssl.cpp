#include <openssl/evp.h>

#include <stdexcept>

#include "platform/sha256.h"

namespace korvath::platform {

Sha256Digest sha256(std::string_view bytes) {
    Sha256Digest digest{};
    unsigned int length = 0;
    // Fails only when libcrypto cannot allocate its context.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != digest.size()) {
        throw std::runtime_error("SHA-256 failed in libcrypto");
    }
    return digest;
}

}  // namespace korvath::platform
