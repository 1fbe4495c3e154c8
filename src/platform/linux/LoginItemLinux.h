#pragma once

#include "platform/Platform.h"

#include <QString>
#include <optional>

namespace kestrel {

// Start at login through an XDG autostart entry: a desktop entry in the
// user's autostart folder whose Exec starts the given executable.
class LoginItemLinux final : public LoginItem {
public:
    // `executable` is the absolute path of the running program;
    // `autostartFolder` normally ${XDG_CONFIG_HOME:-~/.config}/autostart.
    LoginItemLinux(QString executable, QString autostartFolder);

    bool isSupported() const override { return true; }
    Status status() const override;
    std::optional<QString> setRegistered(bool registered) override;

    // Where the entry is written.
    QString entryPath() const;

private:
    std::optional<QString> writeEntry() const;
    std::optional<QString> removeEntry() const;

    const QString m_executable;
    const QString m_autostartFolder;
};

} // namespace kestrel
