#pragma once

// Builds a real AppDelegate inside a temporary home, with fakes for the
// services that need a desktop session, and reads back what it logged.

#include "app/AppDelegate.h"
#include "platform/SystemServices.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace kestrel::test {

class RecordingDesktop final : public Desktop {
public:
    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return !nothingOpens;
    }
    void revealFile(const QString& path, std::function<void()> failed) override {
        revealed.append(path);
        if (nothingOpens && failed)
            failed();
    }
    void activateApplication() override { ++activations; }

    QList<QUrl> opened;
    QStringList revealed;
    int activations = 0;
    // As on a desktop without a browser or a file manager.
    bool nothingOpens = false;
};

class FakeWakeWatcher final : public WakeWatcher {
public:
    void start() override { started = true; }
    void stop() override { started = false; }
    void wake() { emit didWake(); }

    bool started = false;
};

class FakeLoginItem final : public LoginItem {
public:
    bool isSupported() const override { return supported; }
    Status status() const override { return current; }
    std::optional<QString> setRegistered(bool registered) override {
        requests.append(registered);
        if (failure)
            return failure;
        current = registered ? Status::Enabled : Status::NotRegistered;
        return std::nullopt;
    }

    bool supported = true;
    Status current = Status::NotRegistered;
    std::optional<QString> failure;
    QList<bool> requests;
};

// Answers alerts at once and keeps sheets open until the test answers them.
class RecordingPresenter final : public Presenter {
public:
    struct Alert {
        QString title;
        QString message;
    };
    struct Sheet {
        QString title;
        QString text;
        QString acceptButton;
        QString rejectButton;
        std::function<void(bool)> done;
    };

    void showAlert(QWidget*, const QString& title, const QString& message) override {
        alerts.append({title, message});
        if (whileAlertOpen)
            whileAlertOpen();
    }
    void askAsSheet(QWidget*, const QString& title, const QString& text, const QString& accept,
                    const QString& reject, std::function<void(bool)> done) override {
        sheets.append({title, text, accept, reject, std::move(done)});
    }
    // Answers the oldest open sheet.
    void answerSheet(bool accepted) {
        Sheet sheet = sheets.takeFirst();
        sheet.done(accepted);
    }

    QList<Alert> alerts;
    QList<Sheet> sheets;
    // Runs inside each alert, as events do inside a real one's modal loop.
    std::function<void()> whileAlertOpen;
};

class AppHarness {
public:
    AppHarness() {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral(".config")).toUtf8());
        qputenv("XDG_STATE_HOME", home.filePath(QStringLiteral(".local/state")).toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral(".local/share")).toUtf8());
        config.portalUrl = QUrl(QStringLiteral("https://cabinet.kestrel.example"));
        config.updateHost = QStringLiteral("updates.kestrel.example");
        config.updateManifestUrl =
            QUrl(QStringLiteral("https://updates.kestrel.example/downloads/print-agent/") +
                 config.updatePlatform.manifestName);
        config.bundlePath = home.filePath(QStringLiteral("KestrelAgent.app"));
        QDir().mkpath(config.bundlePath + QStringLiteral("/Contents/Resources/PrintService"));
        legacyInstall.serviceFile =
            home.filePath(QStringLiteral(".config/systemd/user/ru.orvanta.print-agent.service"));
        legacyInstall.program = home.filePath(QStringLiteral("no-such-tool"));
        writeInfoPlist(QStringLiteral("1.0.0"));
    }

    ~AppHarness() {
        if (delegate)
            delegate->applicationWillTerminate();
    }

    QString logPath() const {
        return home.filePath(QStringLiteral(".local/state/OrvantaPrint.log"));
    }
    QString downloadsFolder() const { return home.filePath(QStringLiteral("Downloads")); }
    QString agentPath() const {
        return config.bundlePath +
               QStringLiteral("/Contents/Resources/PrintService/orvanta-print-agent");
    }

    void writeInfoPlist(const QString& version) {
        QFile file(config.bundlePath + QStringLiteral("/Contents/Info.plist"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>CFBundleShortVersionString</key><string>" +
                   version.toUtf8() + "</string></dict></plist>\n");
    }

    // Makes the bundle's agent a shell script.
    void installAgentScript(const QByteArray& body) {
        QFile file(agentPath());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write("#!/bin/sh\n" + body + "\n");
        file.close();
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    }

    // Builds the controller from the current config; call launch() to run
    // the launch sequence.
    AppDelegate& create() {
        PlatformServices services;
        auto desktopFake = std::make_unique<RecordingDesktop>();
        auto wakeFake = std::make_unique<FakeWakeWatcher>();
        auto loginFake = std::make_unique<FakeLoginItem>();
        auto presenterFake = std::make_unique<RecordingPresenter>();
        desktop = desktopFake.get();
        wake = wakeFake.get();
        loginItem = loginFake.get();
        presenter = presenterFake.get();
        services.desktop = std::move(desktopFake);
        services.wakeWatcher = std::move(wakeFake);
        services.loginItem = std::move(loginFake);
        services.networkFactory =
            networkFactory ? std::move(networkFactory) : std::make_unique<DefaultNetworkFactory>();
        services.legacyInstall = legacyInstall;
        services.logFilePath = logPath();
        services.downloadsFolder = downloadsFolder();
        services.trayAvailable = [this] { return trayAvailable; };
        delegate =
            std::make_unique<AppDelegate>(config, std::move(services), std::move(presenterFake));
        return *delegate;
    }

    AppDelegate& launch() {
        if (!delegate)
            create();
        delegate->applicationDidFinishLaunching();
        return *delegate;
    }

    // Every line of the log file, as written.
    QStringList logLines() const {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // The event texts of the application's own lines, in order.
    QStringList events() const {
        static const QRegularExpression own(
            QStringLiteral(R"(^\S+ APP launch=[0-9A-F-]{36} elapsed_s=\d+\.\d{3} (.*)$)"));
        QStringList result;
        for (const QString& line : logLines()) {
            const auto match = own.match(line);
            if (match.hasMatch())
                result.append(match.captured(1));
        }
        return result;
    }

    // Elapsed seconds of the first own line whose event starts with `prefix`,
    // or a negative value when there is none.
    double elapsedOf(const QString& prefix) const {
        static const QRegularExpression own(
            QStringLiteral(R"(^\S+ APP launch=[0-9A-F-]{36} elapsed_s=(\d+\.\d{3}) (.*)$)"));
        for (const QString& line : logLines()) {
            const auto match = own.match(line);
            if (match.hasMatch() && match.captured(2).startsWith(prefix))
                return match.captured(1).toDouble();
        }
        return -1.0;
    }

    bool logged(const QString& prefix) const { return elapsedOf(prefix) >= 0.0; }

    QTemporaryDir home;
    Config config;
    LegacyInstall legacyInstall;
    // What the desktop says about tray items; offscreen there are none.
    bool trayAvailable = false;
    // Set before create() to replace the sessions' factory.
    std::unique_ptr<NetworkFactory> networkFactory;

    std::unique_ptr<AppDelegate> delegate;
    RecordingDesktop* desktop = nullptr;
    FakeWakeWatcher* wake = nullptr;
    FakeLoginItem* loginItem = nullptr;
    RecordingPresenter* presenter = nullptr;
};

} // namespace kestrel::test
