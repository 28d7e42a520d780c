#include "platform/sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <mutex>
#include <new>
#include <stdexcept>

namespace platform {

struct Sha256::Context {
    struct Free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> handle{EVP_MD_CTX_new()};

    void start() {
        if (!handle || EVP_DigestInit_ex(handle.get(), EVP_sha256(), nullptr) != 1)
            throw std::bad_alloc();
    }
};

void initCrypto() {
    static std::once_flag once;
    std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}

Sha256::Sha256() {
    initCrypto();
    m_context = std::make_unique<Context>();
    m_context->start();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const char* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(m_context->handle.get(), data, size) != 1)
        throw std::runtime_error("SHA-256 update failed");
}

QByteArray Sha256::finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_context->handle.get(), digest, &length) != 1 || length != DigestBytes)
        throw std::runtime_error("SHA-256 final failed");
    m_context->start();
    return QByteArray(reinterpret_cast<const char*>(digest), qsizetype(length));
}

} // namespace platform
