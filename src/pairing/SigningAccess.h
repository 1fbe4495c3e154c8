#pragma once

#include <QStringView>
#include <QUrl>
#include <optional>

namespace kestrel {

// The cabinet page where signing is set up: the cabinet origin followed by
// "/app?view=integration"; nothing when the origin is not an absolute URL.
std::optional<QUrl> integrationPageUrl(const QUrl& portal);

// Texts shown or logged by the pairing and signing flows.
namespace pairing_text {
inline constexpr QStringView previewPath = u"v1/app/pairing-preview";
inline constexpr QStringView confirmPath = u"v1/app/pairing-confirm";
inline constexpr QStringView unlockPath = u"v1/app/unlock-credentials";
inline constexpr QStringView resumePath = u"v1/app/resume";

inline constexpr QStringView pairingFailed =
    u"Не удалось подтвердить подключение. Повторите «Открыть Агент KESTREL» в кабинете.";
inline constexpr QStringView unlockFailed =
    u"Не удалось проверить доступ. Повторите попытку в приложении.";
inline constexpr QStringView resumeFailed = u"Проверка после сна временно недоступна";

inline constexpr QStringView alertTitle = u"Подключение агента";
inline constexpr QStringView previewDamaged = u"Запрос подключения повреждён.";
inline constexpr QStringView questionTitle = u"Подключить Агент KESTREL?";
inline constexpr QStringView acceptButton = u"Подключить и подтвердить УКЭП";
inline constexpr QStringView rejectButton = u"Отмена";

inline constexpr QStringView waitingForAccess = u"Ожидаем разрешение…";
inline constexpr QStringView signingPrefix = u"Подпись: ";
} // namespace pairing_text

} // namespace kestrel
