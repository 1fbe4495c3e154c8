#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace kestrel {

// Every modal question the application asks goes through here, so tests can
// answer it without a modal loop.
class Presenter {
public:
    virtual ~Presenter() = default;
    // One informational message with the single button "Понятно"; returns
    // when the user has pressed it.
    virtual void showAlert(QWidget* window, const QString& title, const QString& message) = 0;
    // A question attached to the window as a sheet; `done` gets true for the
    // first (default) button.
    virtual void askAsSheet(QWidget* window, const QString& title, const QString& text,
                            const QString& acceptButton, const QString& rejectButton,
                            std::function<void(bool accepted)> done) = 0;
};

} // namespace kestrel
