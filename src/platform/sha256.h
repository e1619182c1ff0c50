// SHA-256 through the system's maintained implementation: OpenSSL's libcrypto on Linux
// (sha256_openssl.cpp), BCrypt on Windows (sha256_windows.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace korvath::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

/// The SHA-256 digest of `bytes`.
[[nodiscard]] Sha256Digest sha256(std::string_view bytes);

}  // namespace korvath::platform
