#include "AppDelegate.h"
#include "platform/LegacyInstall.h"
#include "ui/MainWindow.h"
#include "ui/PlatformWords.h"

#include <QCheckBox>
#include <QSignalBlocker>

namespace kestrel {

void AppDelegate::updateLoginItemState() {
    if (!m_window) {
        return;
    }
    QCheckBox* const button = m_window->loginItemButton();
    // Showing the system's state is not a user's wish: no action may follow.
    const QSignalBlocker blocker(button);
    const LoginItem* const loginItem = m_platform.loginItem.get();
    if (loginItem && loginItem->isSupported()) {
        button->setEnabled(true);
        button->setChecked(loginItem->status() == LoginItem::Status::Enabled);
    } else {
        button->setChecked(false);
        button->setEnabled(false);
        button->setToolTip(
            QStringLiteral("Автозапуск из приложения поддерживается начиная с macOS 13."));
    }
}

void AppDelegate::toggleLoginItem(bool checked) {
    LoginItem* const loginItem = m_platform.loginItem.get();
    if (!loginItem || !loginItem->isSupported()) {
        if (m_window) {
            const QSignalBlocker blocker(m_window->loginItemButton());
            m_window->loginItemButton()->setChecked(false);
        }
        return;
    }
    const std::optional<QString> error = loginItem->setRegistered(checked);
    if (!error) {
        return;
    }
    updateLoginItemState();
    showAlert(QStringLiteral("Не удалось изменить автозапуск"),
              platformWords().loginItemFailureHint + QStringLiteral("\n\n") + *error);
}

bool AppDelegate::stopLegacyAgent() {
    return kestrel::stopLegacyAgent(m_platform.legacyInstall);
}

} // namespace kestrel
