#pragma once

#include <QString>

namespace kestrel {

struct Printer {
    QString name;
    bool isDefault = false;

    bool operator==(const Printer&) const = default;
};

} // namespace kestrel
