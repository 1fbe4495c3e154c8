#pragma once

#include <QWidget>

class QAbstractItemModel;
class QCheckBox;
class QLabel;
class QListView;
class QProgressBar;
class QPushButton;

namespace kestrel {

// The application's one window. It only shows state: the controller writes
// texts, colours and enabled flags through the accessors and connects the
// buttons to its own slots.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(const QString& appVersion, const QString& platformName,
               QAbstractItemModel* printerModel, QWidget* parent = nullptr);

    QLabel* statusDot() const { return m_statusDot; }
    QLabel* statusTitle() const { return m_statusTitle; }
    QLabel* statusDetails() const { return m_statusDetails; }
    QLabel* signingDetails() const { return m_signingDetails; }
    QPushButton* signingButton() const { return m_signingButton; }
    QListView* printersTable() const { return m_printersTable; }
    QLabel* emptyPrintersLabel() const { return m_emptyPrintersLabel; }
    QCheckBox* loginItemButton() const { return m_loginItemButton; }
    QPushButton* refreshButton() const { return m_refreshButton; }
    QLabel* updateLabel() const { return m_updateLabel; }
    QPushButton* updateButton() const { return m_updateButton; }
    // Shows the share of an update download received; hidden otherwise.
    QProgressBar* updateProgress() const { return m_updateProgress; }
    QPushButton* portalButton() const { return m_portalButton; }
    QPushButton* logButton() const { return m_logButton; }
    QLabel* footer() const { return m_footer; }
    // Shown only where the system has no tray to quit from.
    QPushButton* quitButton() const { return m_quitButton; }

    // Without a tray the window itself offers to quit and says how to come back.
    void setTrayAvailable(bool available);

    void setVisible(bool visible) override;

private:
    const QString m_appVersion;
    const QString m_platformName;
    bool m_placed = false;
    QLabel* m_statusDot = nullptr;
    QLabel* m_statusTitle = nullptr;
    QLabel* m_statusDetails = nullptr;
    QLabel* m_signingDetails = nullptr;
    QPushButton* m_signingButton = nullptr;
    QListView* m_printersTable = nullptr;
    QLabel* m_emptyPrintersLabel = nullptr;
    QCheckBox* m_loginItemButton = nullptr;
    QPushButton* m_refreshButton = nullptr;
    QLabel* m_updateLabel = nullptr;
    QPushButton* m_updateButton = nullptr;
    QProgressBar* m_updateProgress = nullptr;
    QPushButton* m_portalButton = nullptr;
    QPushButton* m_logButton = nullptr;
    QLabel* m_footer = nullptr;
    QPushButton* m_quitButton = nullptr;
};

} // namespace kestrel
