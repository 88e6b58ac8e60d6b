// ECDSA P-256 signatures over SHA-256, checked by the system's cryptography
// provider (CNG). The provider is opened once per process and shared; each check
// imports its key into a handle of its own, so checks may run on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace qorn {

// A P-256 public key as the raw X‖Y of its point (the uncompressed form without its 04).
using EcdsaPublicKey = std::array<unsigned char, 64>;
// r‖s, 32 big-endian bytes each (not the DER form that openssl writes).
inline constexpr std::size_t ecdsa_signature_size = 64;

// Whether `signature` signs the SHA-256 of `message` under `key`. A signature of
// another length, or one the provider does not accept, answers false; a key the
// provider cannot import fails with "Khoá kiểm tra chữ ký không hợp lệ.".
bool ecdsa_p256_verify(const EcdsaPublicKey& key, std::string_view message, std::string_view signature);

}  // namespace qorn
