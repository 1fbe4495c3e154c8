#include "AppDelegate.h"
#include "ui/PlatformWords.h"
#include "update/ManifestCheck.h"
#include "update/UpdateDownload.h"
#include "update/UpdateNetwork.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

namespace kestrel {

namespace {

// What the update row shows; a colour left empty keeps the current one.
struct UpdateRow {
    QString text;
    std::optional<StatusColor> color;
    QString buttonTitle;
    bool buttonEnabled = true;
};

const QString checkAgainTitle = QStringLiteral("Проверить обновления");
const QString downloadTitle = QStringLiteral("Скачать обновление");

UpdateRow checkingRow() {
    return {QStringLiteral("Проверяем наличие обновления…"), StatusColor::Secondary,
            QStringLiteral("Проверяем…"), false};
}

UpdateRow rowAfterCheck(const UpdateOutcome& outcome, const std::optional<AvailableUpdate>& known,
                        const QString& appVersion) {
    if (const auto* update = std::get_if<AvailableUpdate>(&outcome))
        return {QStringLiteral("Доступна новая версия ") + update->version, StatusColor::Orange,
                downloadTitle, true};
    if (std::holds_alternative<UpToDate>(outcome))
        return {QStringLiteral("Установлена актуальная версия ") + appVersion,
                StatusColor::Secondary, checkAgainTitle, true};
    return {QStringLiteral("Не удалось проверить обновление — повторим позже."),
            StatusColor::Secondary, known ? downloadTitle : QStringLiteral("Проверить снова"),
            true};
}

std::optional<AvailableUpdate> knownAfterCheck(const UpdateOutcome& outcome,
                                               std::optional<AvailableUpdate> known) {
    if (const auto* update = std::get_if<AvailableUpdate>(&outcome))
        return *update;
    if (std::holds_alternative<UpToDate>(outcome))
        return std::nullopt;
    return known;
}

UpdateRow rowAfterDownload(const DownloadResult& result, const AvailableUpdate& build) {
    if (std::holds_alternative<QString>(result))
        return {QStringLiteral("Версия ") + build.version + QStringLiteral(" скачана — ") +
                    platformWords().downloadedHint + QLatin1Char('.'),
                StatusColor::Green, QStringLiteral("Скачать ещё раз"), true};
    return {updateMessages::downloadFailed, StatusColor::Red, downloadTitle, true};
}

void showUpdateRow(MainWindow* window, const UpdateRow& row) {
    if (!window)
        return;
    QLabel* label = window->updateLabel();
    label->setText(row.text);
    if (row.color) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, statusQColor(*row.color, palette));
        label->setPalette(palette);
    }
    window->updateButton()->setText(row.buttonTitle);
    window->updateButton()->setEnabled(row.buttonEnabled);
}

void showDownloadProgress(MainWindow* window, qint64 received, qint64 total) {
    if (!window)
        return;
    QProgressBar* bar = window->updateProgress();
    if (total > 0)
        bar->setValue(static_cast<int>(std::clamp<qint64>(received * 1000 / total, 0, 1000)));
    else
        bar->setValue(0);
}

UpdateConstants updateConstants(const Config& config) {
    return {.updateHost = config.updateHost, .platform = config.updatePlatform};
}

} // namespace

QNetworkAccessManager* AppDelegate::updateSession() {
    if (!m_updateSession) {
        m_updateSession = m_platform.networkFactory->create(this);
        configureUpdateSession(*m_updateSession);
    }
    return m_updateSession;
}

// While a download runs, a check still refreshes what is known but leaves the
// row to the download, so the "Скачиваем …" text and the disabled button stay
// until the download itself ends.
void AppDelegate::checkForUpdate() {
    if (m_state.updateCheckInFlight)
        return;
    m_state.updateCheckInFlight = true;
    logDiagnostic(QStringLiteral("update_check_begin"));
    if (!m_updateDownload)
        showUpdateRow(m_window, checkingRow());

    const ManifestCheckRequest request{.manifestUrl = m_config.updateManifestUrl,
                                       .appVersion = appVersion(),
                                       .maximumBytes = m_config.maximumManifestBytes,
                                       .constants = updateConstants(m_config)};
    checkManifest(*updateSession(), request, this, [this](const ManifestCheckResult& result) {
        m_state.updateCheckInFlight = false;
        logDiagnostic(QStringLiteral("update_check_end http=%1").arg(result.httpStatus));
        m_state.availableUpdate = knownAfterCheck(result.outcome, m_state.availableUpdate);
        if (!m_updateDownload)
            showUpdateRow(m_window,
                          rowAfterCheck(result.outcome, m_state.availableUpdate, appVersion()));
    });
}

void AppDelegate::handleUpdateButton() {
    if (m_state.availableUpdate)
        downloadAvailableUpdate();
    else
        checkForUpdate();
}

void AppDelegate::downloadAvailableUpdate() {
    if (!m_state.availableUpdate || m_updateDownload)
        return;
    const AvailableUpdate build = *m_state.availableUpdate;
    if (m_window) {
        m_window->updateButton()->setEnabled(false);
        m_window->updateLabel()->setText(QStringLiteral("Скачиваем ") + build.filename +
                                         QStringLiteral("…"));
        m_window->updateProgress()->setValue(0);
        m_window->updateProgress()->show();
    }

    auto* download = new UpdateDownload(*updateSession(),
                                        DownloadPlan{.build = build,
                                                     .appVersion = appVersion(),
                                                     .downloadsFolder = m_platform.downloadsFolder,
                                                     .maximumBytes = m_config.maximumUpdateBytes},
                                        this);
    m_updateDownload = download;
    connect(download, &UpdateDownload::progress, this, [this](qint64 received, qint64 total) {
        showDownloadProgress(m_window, received, total);
    });
    connect(download, &UpdateDownload::finished, this,
            [this, download, build](const DownloadResult& result) {
                download->deleteLater();
                m_updateDownload.clear();
                if (m_window)
                    m_window->updateProgress()->hide();
                showUpdateRow(m_window, rowAfterDownload(result, build));
                if (const auto* destination = std::get_if<QString>(&result))
                    m_platform.desktop->revealFile(*destination, {});
                else
                    showAlert(QStringLiteral("Обновление не скачано"),
                              std::get<UpdateError>(result).message);
            });
    download->start();
}

} // namespace kestrel
