#include "news/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace lumigrab {

struct TSha256::TContext {
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    ~TContext() { EVP_MD_CTX_free(digest); }
};

// Failures here mean no memory or a libcrypto without SHA-256: nothing a
// caller could go on from.
TSha256::TSha256()
    : context_(std::make_unique<TContext>())
{
    if (!context_->digest || EVP_DigestInit_ex(context_->digest, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}

TSha256::~TSha256() = default;

TSha256& TSha256::Update(std::string_view bytes)
{
    if (EVP_DigestUpdate(context_->digest, bytes.data(), bytes.size()) != 1)
        throw std::runtime_error("SHA-256 digest failed");
    return *this;
}

TSha256Digest TSha256::Finish()
{
    TSha256Digest digest {};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_->digest, digest.data(), &size) != 1 || size != digest.size())
        throw std::runtime_error("SHA-256 digest failed");
    return digest;
}

TSha256Digest Sha256(std::string_view bytes)
{
    return TSha256().Update(bytes).Finish();
}

} // namespace lumigrab
