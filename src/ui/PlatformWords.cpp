#include "PlatformWords.h"

namespace kestrel {

const PlatformWords& platformWords() {
#ifdef Q_OS_MACOS
    static const PlatformWords words{
        .printersHeading = QStringLiteral("Принтеры macOS"),
        .checkingDetails = QStringLiteral("Проверяем локальное подключение и очередь macOS."),
        .loginItemTitle = QStringLiteral("Запускать автоматически после входа в macOS"),
        .trayPlace = QStringLiteral("строке меню"),
        .reinstallHint = QStringLiteral("Переустановите приложение из исходного DMG."),
        .loginItemFailureHint =
            QStringLiteral("Переместите программу в папку «Программы» и повторите попытку."),
        .downloadedHint = QStringLiteral("откройте DMG"),
        .footerBreak = QStringLiteral(" "),
    };
#else
    static const PlatformWords words{
        .printersHeading = QStringLiteral("Принтеры системы"),
        .checkingDetails = QStringLiteral("Проверяем локальное подключение и очередь печати."),
        .loginItemTitle = QStringLiteral("Запускать автоматически после входа в систему"),
        .trayPlace = QStringLiteral("области уведомлений"),
        .reinstallHint = QStringLiteral("Переустановите пакет kestrel-agent."),
        .loginItemFailureHint =
            QStringLiteral("Проверьте права на папку автозапуска и повторите попытку."),
        .downloadedHint = QStringLiteral("установите пакет"),
        .footerBreak = QStringLiteral("\n"),
    };
#endif
    return words;
}

QString windowFooter(const QString& appVersion, const QString& platformName, bool trayAvailable) {
    const PlatformWords& words = platformWords();
    const QString closing =
        trayAvailable
            ? QStringLiteral("Окно можно закрыть — программа останется в ") + words.trayPlace +
                  QLatin1Char('.')
            : QStringLiteral("Окно можно закрыть — чтобы открыть его снова, ещё раз запустите "
                             "«Агент KESTREL».");
    return closing + words.footerBreak + QStringLiteral("Версия ") + appVersion +
           QStringLiteral(", ") + platformName + QLatin1Char('.');
}

} // namespace kestrel
