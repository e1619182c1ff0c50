// windows.h first: the other system headers build on its definitions.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "platform/sha256.h"

namespace korvath::platform {

namespace {

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

Sha256Digest sha256(std::string_view bytes) {
    // MinGW's headers lack the ready-made SHA-256 handle, so the provider is opened here.
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    Sha256Digest digest{};
    bool ok =
        succeeded(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        succeeded(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // BCryptHashData takes at most 4 GiB a call.
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ULONG part = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        ok = succeeded(::BCryptHashData(
            hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + done)), part, 0));
        done += part;
    }
    ok = ok &&
         succeeded(::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash != nullptr) ::BCryptDestroyHash(hash);
    if (algorithm != nullptr) ::BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) throw std::runtime_error("SHA-256 failed in BCrypt");
    return digest;
}

}  // namespace korvath::platform
