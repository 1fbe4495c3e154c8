#pragma once

#include <QString>

namespace kestrel {

// The texts that name the platform, chosen when the program is built: macOS
// speaks of its menu bar and disk image, Linux of the system's tray and the
// package.
struct PlatformWords {
    QString printersHeading;
    QString checkingDetails;
    QString loginItemTitle;
    // Where the program stays once its window is closed.
    QString trayPlace;
    // What a user does when the bundled agent is missing.
    QString reinstallHint;
    // What a user does when the login item cannot be changed.
    QString loginItemFailureHint;
    // What a user does with a downloaded update.
    QString downloadedHint;
    // Between the footer's two sentences: Linux fonts are wider, so the
    // version always starts its own line there rather than being split.
    QString footerBreak;
};

const PlatformWords& platformWords();

// The window's footer: how to bring the window back, then the version and platform.
QString windowFooter(const QString& appVersion, const QString& platformName, bool trayAvailable);

} // namespace kestrel
