#pragma once

// Builds a real AppDelegate inside a temporary home, with fakes for the
// services that need a desktop session, and reads back what it logged.

#include "app/AppDelegate.h"
#include "platform/SystemServices.h"
#include "support/Files.h"
#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
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
    bool isSupported() const override { return true; }
    Status status() const override { return current; }
    std::optional<QString> setRegistered(bool registered) override {
        if (!failure)
            current = registered ? Status::Enabled : Status::NotRegistered;
        return failure;
    }

    Status current = Status::NotRegistered;
    std::optional<QString> failure;
};

// Answers alerts at once and keeps sheets open until the test answers them.
class RecordingPresenter final : public Presenter {
public:
    struct Sheet {
        QString text;
        std::function<void(bool)> done;
    };

    void showAlert(QWidget*, const QString& title, const QString& message) override {
        alerts.append(title + ": " + message);
        if (whileAlertOpen)
            whileAlertOpen();
    }
    void askAsSheet(QWidget*, const QString&, const QString& text, const QString&, const QString&,
                    std::function<void(bool)> done) override {
        sheets.append({text, std::move(done)});
    }
    // Answers the oldest open sheet.
    void answerSheet(bool accepted) { sheets.takeFirst().done(accepted); }

    // "title: message" of each alert, in order.
    QStringList alerts;
    QList<Sheet> sheets;
    // Runs inside each alert, as events do inside a real one's modal loop.
    std::function<void()> whileAlertOpen;
};

class AppHarness {
public:
    AppHarness() {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        qputenv("XDG_STATE_HOME", home.filePath(".local/state").toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath(".local/share").toUtf8());
        config.portalUrl = QUrl("https://cabinet.kestrel.example");
        config.updateHost = "updates.kestrel.example";
        config.updateManifestUrl = QUrl("https://updates.kestrel.example/downloads/print-agent/" +
                                        config.updatePlatform.manifestName);
        config.bundlePath = home.filePath("KestrelAgent.app");
        QDir().mkpath(config.bundlePath + "/Contents/Resources/PrintService");
        writeInfoPlist("1.0.0");
    }

    ~AppHarness() {
        if (delegate)
            delegate->applicationWillTerminate();
    }

    QString logPath() const { return home.filePath(".local/state/OrvantaPrint.log"); }
    QString downloadsFolder() const { return home.filePath("Downloads"); }
    QString agentPath() const {
        return config.bundlePath + "/Contents/Resources/PrintService/orvanta-print-agent";
    }

    void writeInfoPlist(const QString& version) {
        writeFile(config.bundlePath + "/Contents/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>CFBundleShortVersionString</key><string>" +
                      version.toUtf8() + "</string></dict></plist>\n");
    }

    // Makes the bundle's agent a shell script.
    void installAgentScript(const QByteArray& body) {
        writeFile(agentPath(), "#!/bin/sh\n" + body + "\n", true);
    }

    // Builds the controller from the current config; call launch() to run
    // the launch sequence.
    AppDelegate& create() {
        PlatformServices services;
        services.desktop = fake(desktop);
        services.wakeWatcher = fake(wake);
        services.loginItem = fake(loginItem);
        services.networkFactory =
            networkFactory ? std::move(networkFactory) : std::make_unique<DefaultNetworkFactory>();
        services.legacyInstall = legacyInstall;
        services.logFilePath = logPath();
        services.downloadsFolder = downloadsFolder();
        services.trayAvailable = [this] { return trayAvailable; };
        delegate = std::make_unique<AppDelegate>(config, std::move(services), fake(presenter));
        return *delegate;
    }

    AppDelegate& launch() {
        AppDelegate& app = delegate ? *delegate : create();
        app.applicationDidFinishLaunching();
        return app;
    }

    // Every line of the log file, as written.
    QStringList logLines() const {
        return QString::fromUtf8(fileContents(logPath())).split(u'\n', Qt::SkipEmptyParts);
    }

    // The event texts of the application's own lines, in order.
    QStringList events() const {
        QStringList result;
        for (const OwnLine& line : ownLines(logPath()))
            result.append(line.event);
        return result;
    }

    // Elapsed seconds of the first own line whose event starts with `prefix`,
    // or a negative value when there is none.
    double elapsedOf(const QString& prefix) const {
        for (const OwnLine& line : ownLines(logPath()))
            if (line.event.startsWith(prefix))
                return line.elapsed;
        return -1.0;
    }

    bool logged(const QString& prefix) const { return elapsedOf(prefix) >= 0.0; }

    QTemporaryDir home;
    Config config;
    // Nothing to remove unless a test says where.
    LegacyInstall legacyInstall;
    // What the desktop says about tray items; offscreen there are none.
    bool trayAvailable = false;
    // Set before create() to replace the sessions' factory; each controller
    // takes the one set, or the default one.
    std::unique_ptr<NetworkFactory> networkFactory;

    std::unique_ptr<AppDelegate> delegate;
    RecordingDesktop* desktop = nullptr;
    FakeWakeWatcher* wake = nullptr;
    FakeLoginItem* loginItem = nullptr;
    RecordingPresenter* presenter = nullptr;

private:
    // A new fake, which the test reaches through `view` while the controller owns it.
    template <typename T> static std::unique_ptr<T> fake(T*& view) {
        auto made = std::make_unique<T>();
        view = made.get();
        return made;
    }
};

} // namespace kestrel::test
