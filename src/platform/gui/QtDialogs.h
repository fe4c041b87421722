#pragma once

#include "platform/Dialogs.h"

class QWidget;

namespace th {

// Message boxes shown with QMessageBox on the user-interface thread; a call from a worker
// thread is handed over to the UI thread and waits until the box is closed.
class QtDialogs : public IDialogs {
public:
    void show(BoxKind kind, const std::string& text) override;
    bool askYesCancel(BoxKind kind, const std::string& text) override;
};

}  // namespace th
