#pragma once

#include "platform/Platform.h"

#include <QString>
#include <chrono>

namespace kestrel {

enum class HostOs { MacOS, Linux };

constexpr HostOs thisHostOs() {
#ifdef Q_OS_MACOS
    return HostOs::MacOS;
#else
    return HostOs::Linux;
#endif
}

// The current user's folders and id, read from the environment so that tests
// can point HOME and XDG_CONFIG_HOME at a temporary folder.
struct UserFolders {
    QString home;
    // XDG_CONFIG_HOME when it is an absolute path, otherwise home/.config.
    QString configHome;
    uint uid = 0;

    static UserFolders current();
};

// The stand-alone agent service that older versions installed for this user,
// and the system call that stops it.
LegacyInstall legacyInstallFor(HostOs os, const UserFolders& user);

// Stops the legacy service and deletes its description file. True whenever
// the file existed at the start, whatever the tool or the deletion achieved;
// false, with no process started, when there was no file. Blocks until the
// tool exits or `toolTimeLimit` has passed.
bool stopLegacyAgent(const LegacyInstall& install,
                     std::chrono::milliseconds toolTimeLimit = std::chrono::seconds(30));

} // namespace kestrel
