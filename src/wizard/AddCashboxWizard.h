#pragma once

#include <QDialog>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "wizard/Enrolment.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStackedWidget;

namespace th {

class AutomationRegistry;

// "Мастер добавления кассы": finds a register, reads it and enrols it with the service, then
// stores its settings with automatic connection. The main window sets settings before each
// showing, runs it modally and reads success afterwards.
//
// The enrolment runs on the global thread pool with a dispatcher client of its own (the
// shared client's settings and log sink), and hands every change of the window to the
// user-interface thread. Closing the wizard does not stop it, but its changes no longer
// reach the window and success stays false.
class AddCashboxWizard : public QDialog {
public:
    // sharedClient: the client window's dispatcher client, whose settings and log sink the
    // enrolment's own client takes over. All three objects live for the process.
    AddCashboxWizard(IDialogs& dialogs, const AutomationRegistry& registry,
                     DispatcherClient& sharedClient, QWidget* parent = nullptr);
    ~AddCashboxWizard() override;

    // Whether a register is in the main window's list already, by its serial number.
    using ListedCheck = std::function<bool(const std::string& serial)>;

    void setSettings(AppSettings* settings) { settings_ = settings; }
    AppSettings* settings() const { return settings_; }
    // Set by the main window before each showing: a check that finds a listed register says
    // so.
    void setListedCheck(ListedCheck listed) { listed_ = std::move(listed); }
    // True once this showing reached its last page, or its enrolment stored the register
    // ("Готово!"), even when the user then chose "Отмена": the register belongs in the list.
    bool success() const;
    CashboxDriver* driver() const { return driver_.get(); }
    // True while an enrolment, of this showing or an earlier one, is still running.
    bool enrolmentRunning() const;
    // The pause between "Готово!" and the enabled "Далее >".
    void setFinishPause(std::chrono::milliseconds pause) { finishPause_ = pause; }

    // Handlers, as the window's events and actions call them. Errors reach the caller; the
    // window's own connections show them in an error box.
    void startOnFirstShow();
    void goNext();
    void goBack();
    void cancel();
    void onDriverChosen();
    void onAutomaticSearchChosen();
    void onManualSetupChosen();
    void testConnection();

    // Which of "< Назад" and "Далее >" the current page offers, and where they lead.
    void updateNavigation();
    // Reads the register on the chosen connection and shows its model and serial number.
    void identifyRegister();
    // Starts the enrolment on the thread pool and returns at once.
    void startEnrolment();
    void enableManualSetup(bool enabled);
    void clearFoundRegister();
    // Every field as on the first showing: no driver, no detection mode, no register found,
    // the connection fields at their first values, no progress and no message.
    void resetFields();
    // What a running enrolment shows; called on the user-interface thread.
    void showEnrolmentProgress(int percent);
    void showEnrolmentStatus(const QString& text);
    void showEnrolmentError(const QString& text);
    void enableNext();
    void enableBack();

    struct RunState;

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    // Gives each control its object name: its member's name without the underscore.
    void nameControls();
    // The wizard's driver, for a connection check: raises when none is chosen or an
    // enrolment still uses it.
    CashboxDriver& driverForCheck();
    void createActions();
    QWidget* createButtonRow();
    QWidget* createPage(QWidget* content);
    QWidget* createGreetingPage();
    QWidget* createConnectionPage();
    QWidget* createParametersPage();
    QWidget* createDonePage();
    QGroupBox* createConnectionFields();
    void resetConnectionFields();
    void uncheckDetectionModes();
    void guarded(void (AddCashboxWizard::*handler)());

    IDialogs& dialogs_;
    const AutomationRegistry& registry_;
    DispatcherClient& sharedClient_;
    AppSettings* settings_ = nullptr;
    ListedCheck listed_;
    std::shared_ptr<CashboxDriver> driver_;
    bool success_ = false;
    // The enrolment this showing started, 0 before one.
    std::uint64_t runOfShowing_ = 0;
    QWidget* nextPage_ = nullptr;
    QWidget* backPage_ = nullptr;
    // The connection of the last successful check: the enrolment reads the register through
    // it and stores it, so a field edited after the check is never stored untested.
    ConnectionChoice checkedConnection_;
    std::chrono::milliseconds finishPause_{1000};
    std::shared_ptr<RunState> run_;

    // Controls.
    QStackedWidget* pages_ = nullptr;
    QWidget* greetingPage_ = nullptr;
    QWidget* connectionPage_ = nullptr;
    QWidget* parametersPage_ = nullptr;
    QWidget* donePage_ = nullptr;
    QAction* backAction_ = nullptr;
    QAction* nextAction_ = nullptr;
    QAction* cancelAction_ = nullptr;
    QPushButton* backButton_ = nullptr;
    QPushButton* nextButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QComboBox* driverCombo_ = nullptr;
    QLabel* driverVersionLabel_ = nullptr;
    QRadioButton* automaticSearchRadio_ = nullptr;
    QRadioButton* manualSetupRadio_ = nullptr;
    QLabel* modelLabel_ = nullptr;
    QLabel* serialLabel_ = nullptr;
    QGroupBox* settingsBox_ = nullptr;
    QComboBox* portCombo_ = nullptr;
    QComboBox* speedCombo_ = nullptr;
    QComboBox* dataBitsCombo_ = nullptr;
    QComboBox* parityCombo_ = nullptr;
    QComboBox* stopBitsCombo_ = nullptr;
    QPushButton* testButton_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* errorLabel_ = nullptr;
};

// The picture on the left of every page: a register printing a receipt.
QPixmap wizardPicture(int width, int height);

}  // namespace th
