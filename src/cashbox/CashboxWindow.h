#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "cashbox/RegisterWorker.h"
#include "platform/Json.h"
#include "settings/AppSettings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;

namespace th {

class IDialogs;
class CashboxRecord;
class DocumentsPage;

// "Настройки кассы": the window of one register, a view of its record. It shows the sale
// point's data, the register's settings and what the register's worker reports, and hands
// the user's actions to the worker; the boxes of such an action are shown here when the
// worker has carried it out. Built when the user first opens it; lives on the
// user-interface thread.
//
// Handlers raise their errors; the controls' signals route them to the application's error
// display.
class CashboxWindow : public QWidget {
public:
    static constexpr const char* kCaption = "Настройки кассы";
    static constexpr int kClientWidth = 746;
    static constexpr int kClientHeight = 377;
    static constexpr int kDeviceBoxHeight = 153;
    static constexpr int kConnectionPanelWidth = 50;
    static constexpr int kStatusPanelWidth = 600;

    // With a parent the window stays a top-level window of its own. The record outlives it.
    CashboxWindow(IDialogs& dialogs, CashboxRecord& record, QWidget* parent = nullptr);
    ~CashboxWindow() override;

    CashboxRecord& record() { return record_; }
    bool isConnected() const;
    // The text of KKTSerial, the register's key.
    std::string serial() const;

    // The register's record and driver.
    void onDriverChosen();
    void onFieldEdited();
    void saveSettings();
    void showDriverVersion();

    // Connection: carried out by the register's worker.
    void testConnection();
    void connectByUser();
    void disconnectByUser();

    // The "Документы" page, in front, showing what needs a person when anything does.
    void showDocumentsPage();
    DocumentsPage& documentsPage() { return *documentsPage_; }

protected:
    // A register whose documents need a person opens on its "Документы" page.
    void showEvent(QShowEvent* event) override;
    // Escape closes the window, as it closes a dialog.
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Gives each control its object name: its member's name without the underscore.
    void nameControls();
    void createControls();
    QGroupBox* createDeviceBox();
    QGroupBox* createConnectionBox();
    void createStatusBar();
    void connectSignals();
    QLineEdit* addReadOnlyEdit(QGridLayout& grid, int row, int column, const char* label);
    // A labelled combo box: combo, or a plain one when none is given.
    QComboBox* addCombo(QGridLayout& grid, int row, int column, const char* label,
                        QLabel** labelOut, QComboBox* combo = nullptr);
    void showData();
    void fillControls(const CashboxSettings& record);
    void showState();
    // The worker of the register; without one, and without a driver chosen, the error
    // "Драйвер не выбран".
    RegisterWorker& requireWorker();
    void runOnWorker(const std::function<void(RegisterLink&, ActionOutcome&)>& action);
    void showOutcome(const ActionOutcome& outcome);
    // Runs a handler from a control; its error goes to the error display.
    void guarded(const std::function<void()>& handler);

    IDialogs& dialogs_;
    CashboxRecord& record_;

    // Controls.
    QTabWidget* pages_ = nullptr;
    QWidget* settingsPage_ = nullptr;
    DocumentsPage* documentsPage_ = nullptr;
    QGroupBox* deviceBox_ = nullptr;
    QLineEdit* serialEdit_ = nullptr;
    QLineEdit* addressEdit_ = nullptr;
    QLineEdit* placeEdit_ = nullptr;
    QLineEdit* fiscalStorageEdit_ = nullptr;
    QLineEdit* registrationStatusEdit_ = nullptr;
    QLineEdit* registrationNumberEdit_ = nullptr;
    QGroupBox* connectionBox_ = nullptr;
    QComboBox* driverCombo_ = nullptr;
    QPushButton* checkDriverButton_ = nullptr;
    QComboBox* connectionTypeCombo_ = nullptr;
    QPushButton* checkConnectionButton_ = nullptr;
    QCheckBox* autostartCheck_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QPushButton* disconnectButton_ = nullptr;
    QComboBox* comPortCombo_ = nullptr;
    QLabel* comPortLabel_ = nullptr;
    QComboBox* baudRateCombo_ = nullptr;
    QLabel* baudRateLabel_ = nullptr;
    QComboBox* dataBitsCombo_ = nullptr;
    QLabel* dataBitsLabel_ = nullptr;
    QComboBox* parityCombo_ = nullptr;
    QLabel* parityLabel_ = nullptr;
    QComboBox* stopBitsCombo_ = nullptr;
    QLabel* stopBitsLabel_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QStatusBar* statusLine_ = nullptr;
    QLabel* connectionPanel_ = nullptr;
    QLabel* statusPanel_ = nullptr;
};

}  // namespace th
