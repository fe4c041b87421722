#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTableWidget;
class QTimer;

namespace th {

class CashboxRecord;
class DocumentsModel;
class IDialogs;
struct DocumentRow;

// "Документы": a register's journal rows, newest first, with a filter, a search by the
// service's id, the way out for a document in question ("Чек пробит", "Чек не пробит —
// пробить") and, under "Требует внимания", the documents the journal refused. It reads the
// journal itself on a read-only connection and follows the register's worker: when the
// worker reports changed rows the page reads them again, at most every kRefreshDelayMs.
// What it changes it hands to the worker, which carries it out on its own thread.
class DocumentsPage : public QWidget {
public:
    static constexpr const char* kTitle = "Документы";
    static constexpr int kRefreshDelayMs = 200;
    static constexpr int kRefusedShown = 100;
    // The search follows typing once it pauses this long (or at once on Enter).
    static constexpr int kSearchDelayMs = 300;

    DocumentsPage(IDialogs& dialogs, CashboxRecord& record, QWidget* parent = nullptr);
    ~DocumentsPage() override;

    DocumentsModel& model() { return *model_; }
    // Reads the journal the first time the page is looked at.
    void activate();
    // Reads the rows and the refused documents again now.
    void refresh();
    // Shows the documents that need a person.
    void showAttention();
    // Lists the documents whose id begins with the search field's text.
    void applySearch();
    // The register's worker reported: read again soon when its rows changed; the actions
    // follow what it says is in question.
    void followRecord();

    // The actions, for the selected row (its buttons run them).
    void confirmPrinted();
    void confirmNotPrinted();
    void hideSelectedRefused();

private:
    void nameControls();
    void createControls();
    QGroupBox* createRefusedBox();
    QWidget* createResolveRow();
    void connectSignals();
    void updateActions();
    void showRefused();
    // The selected row when it is a document left in question, else nullptr.
    const DocumentRow* selectedDoubtful() const;
    std::string selectedId() const;
    void selectId(const std::string& origId);
    std::string describe(const DocumentRow& row) const;
    void resolve(const DocumentRow& row, bool printed, std::int64_t number);
    void guarded(const std::function<void()>& handler);

    IDialogs& dialogs_;
    CashboxRecord& record_;
    DocumentsModel* model_ = nullptr;
    QTimer* refreshTimer_ = nullptr;
    QTimer* searchTimer_ = nullptr;
    bool activated_ = false;
    std::uint64_t seenChanges_ = 0;

    // Controls.
    QComboBox* filterCombo_ = nullptr;
    QLineEdit* searchEdit_ = nullptr;
    QLabel* readErrorLabel_ = nullptr;
    QTableView* documentsTable_ = nullptr;
    QLabel* resolveLabel_ = nullptr;
    QLineEdit* fiscalNumberEdit_ = nullptr;
    QPushButton* printedButton_ = nullptr;
    QPushButton* notPrintedButton_ = nullptr;
    QGroupBox* refusedBox_ = nullptr;
    QTableWidget* refusedTable_ = nullptr;
    QPushButton* hideButton_ = nullptr;
};

}  // namespace th
