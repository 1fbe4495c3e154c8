#include "Sha256.h"

#include <QByteArray>
#include <algorithm>
#include <openssl/evp.h>

namespace kestrel {

void Sha256::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
    Q_CHECK_PTR(m_context.get());
    EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(QByteArrayView data) {
    while (!data.isEmpty()) {
        const qsizetype size = std::min(data.size(), chunkBytes);
        EVP_DigestUpdate(m_context.get(), data.data(), static_cast<size_t>(size));
        data = data.sliced(size);
    }
}

QString Sha256::finalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context.get(), digest, &length);
    EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length)).toHex());
}

} // namespace kestrel
