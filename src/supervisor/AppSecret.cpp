#include "supervisor/AppSecret.h"

#include <QUuid>

namespace kestrel {

namespace {

QString randomUuidText() {
    // QUuid draws version 4 UUIDs from the system's cryptographic generator.
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace

QString makeAppSecret() {
    return randomUuidText() + randomUuidText();
}

} // namespace kestrel
