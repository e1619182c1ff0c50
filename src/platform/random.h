// Unpredictable bytes from the system's maintained source: OpenSSL's libcrypto on Linux
// (random_openssl.cpp), BCrypt on Windows (random_windows.cpp).
#pragma once

#include <cstdint>
#include <span>

namespace korvath::platform {

/// Fills `bytes` from the system's cryptographic random source.
void randomBytes(std::span<std::uint8_t> bytes);

}  // namespace korvath::platform
