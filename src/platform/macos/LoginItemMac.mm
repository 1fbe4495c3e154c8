#include "platform/macos/LoginItemMac.h"

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

namespace kestrel {

bool LoginItemMac::isSupported() const {
    if (@available(macOS 13, *)) {
        return true;
    }
    return false;
}

LoginItem::Status LoginItemMac::status() const {
    if (@available(macOS 13, *)) {
        @autoreleasepool {
            switch (SMAppService.mainAppService.status) {
            case SMAppServiceStatusEnabled:
                return Status::Enabled;
            case SMAppServiceStatusNotRegistered:
                return Status::NotRegistered;
            case SMAppServiceStatusRequiresApproval:
                return Status::RequiresApproval;
            case SMAppServiceStatusNotFound:
                return Status::NotFound;
            }
        }
    }
    return Status::NotFound;
}

std::optional<QString> LoginItemMac::setRegistered(bool registered) {
    if (@available(macOS 13, *)) {
        @autoreleasepool {
            SMAppService* const service = SMAppService.mainAppService;
            NSError* error = nil;
            const BOOL done = registered ? [service registerAndReturnError:&error]
                                         : [service unregisterAndReturnError:&error];
            if (done) {
                return std::nullopt;
            }
            return error ? QString::fromNSString(error.localizedDescription) : QString();
        }
    }
    return QStringLiteral("Автозапуск из приложения поддерживается начиная с macOS 13.");
}

} // namespace kestrel
