#pragma once

#include <QString>

namespace kestrel {

// A failure of an update check or download. Rejections decided by the
// application carry the update domain and code 1; failures reported by the
// network stack or the file system keep their own domain and code, and their
// message is the platform's description.
struct UpdateError {
    QString domain = QStringLiteral("ru.orvanta.print.update");
    int code = 1;
    QString message;

    bool operator==(const UpdateError&) const = default;
};

inline UpdateError updateError(const QString& message) {
    return UpdateError{.message = message};
}

inline UpdateError platformError(const QString& domain, int code, const QString& message) {
    return UpdateError{.domain = domain, .code = code, .message = message};
}

} // namespace kestrel
