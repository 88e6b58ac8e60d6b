#include "core/signature.hpp"

#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"

#include <algorithm>
#include <vector>

namespace qorn {
namespace {

// A failed opening leaves nothing behind, so the next check tries again.
class EcdsaProvider {
public:
    EcdsaProvider() {
        require(BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) >= 0,
                "Không khởi tạo được kiểm tra chữ ký.");
    }
    BCRYPT_ALG_HANDLE algorithm() const { return algorithm_.get(); }

private:
    UniqueAlgorithm algorithm_;
};

const EcdsaProvider& provider() {
    static const EcdsaProvider instance;
    return instance;
}

UniqueCryptKey import_key(const EcdsaPublicKey& key) {
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::vector<unsigned char> blob(sizeof(header) + key.size());
    std::copy_n(reinterpret_cast<const unsigned char*>(&header), sizeof(header), blob.begin());
    std::copy(key.begin(), key.end(), blob.begin() + sizeof(header));
    UniqueCryptKey handle;
    require(BCryptImportKeyPair(provider().algorithm(), nullptr, BCRYPT_ECCPUBLIC_BLOB, handle.put(), blob.data(),
                                static_cast<ULONG>(blob.size()), 0) >= 0,
            "Khoá kiểm tra chữ ký không hợp lệ.");
    return handle;
}

}  // namespace

bool ecdsa_p256_verify(const EcdsaPublicKey& key, std::string_view message, std::string_view signature) {
    if (signature.size() != ecdsa_signature_size) return false;
    const UniqueCryptKey handle = import_key(key);
    Sha256 hash;
    hash.add(message);
    std::array<unsigned char, 32> digest = hash.finish_bytes();
    std::array<unsigned char, ecdsa_signature_size> raw;
    std::copy(signature.begin(), signature.end(), raw.begin());
    // Any refusal counts as not signed: a malformed r or s is no signature either.
    return BCryptVerifySignature(handle.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()), raw.data(),
                                 static_cast<ULONG>(raw.size()), 0) == 0;
}

}  // namespace qorn
