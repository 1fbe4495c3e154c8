#pragma once

#include <QByteArrayView>
#include <QString>
#include <memory>

struct evp_md_ctx_st;

namespace kestrel {

// Streaming SHA-256 over OpenSSL's EVP interface. Input of any size is fed to
// the digest in pieces of at most 1 MiB.
class Sha256 {
public:
    static constexpr qsizetype chunkBytes = 1024 * 1024;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    void update(QByteArrayView data);
    // 64 lowercase hexadecimal characters; the object starts over afterwards.
    QString finalHex();

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};

} // namespace kestrel
