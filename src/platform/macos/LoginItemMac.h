#pragma once

#include "platform/Platform.h"

namespace kestrel {

// Start at login through the system's registration of the main application
// (ServiceManagement, macOS 13 and later).
class LoginItemMac final : public LoginItem {
public:
    bool isSupported() const override;
    Status status() const override;
    std::optional<QString> setRegistered(bool registered) override;
};

} // namespace kestrel
