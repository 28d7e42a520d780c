#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>

namespace platform {

// SHA-256 fed piece by piece, as bytes arrive or are written.
class Sha256 {
public:
    static constexpr std::size_t DigestBytes = 32;

    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const char* data, std::size_t size);
    // The 32 raw bytes of the digest; the object starts over afterwards.
    QByteArray finish();

    // Lower-case hex, as the listing carries it.
    static QByteArray hex(const QByteArray& digest) { return digest.toHex(); }

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

// Starts the cryptography library once per process, without the clean-up it
// would otherwise run at exit: that clean-up can race pool threads that are
// still ending, and their per-thread state would be lost. Call before any other
// user of the library (the HTTP layer) starts it.
void initCrypto();

} // namespace platform
