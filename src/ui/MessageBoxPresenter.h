#pragma once

#include "Presenter.h"

namespace kestrel {

// Real dialogs: a modal message box, and a window-modal one for questions
// (a sheet on macOS).
class MessageBoxPresenter final : public Presenter {
public:
    void showAlert(QWidget* window, const QString& title, const QString& message) override;
    void askAsSheet(QWidget* window, const QString& title, const QString& text,
                    const QString& acceptButton, const QString& rejectButton,
                    std::function<void(bool accepted)> done) override;
};

} // namespace kestrel
