// The register list of the main window over the cashbox windows, headless, against the
// register emulator and a dispatcher on 127.0.0.1.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include "cashbox/CashboxWindow.h"
#include "cashbox/DocumentsPage.h"
#include "cashbox/TaskJournal.h"
#include "cashboxlist/ListWorld.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

TEST(CashboxList, RowsAreSortedCutAndAddedOncePerSerial) {
    ListWorld world({}, {});
    world.answerSalePoints(Json::array({salePoint("300"), salePoint("100", "ул. Первая"),
                                        salePoint("200", "Очень длинный адрес точки продаж"),
                                        salePoint("100", "ул. Вторая")}));
    world.form().prepareCashboxes();
    world.form().prepareCashboxes();

    EXPECT_EQ(world.dispatcher.count("getsalepoints"), 2u);
    EXPECT_EQ(world.column(CashboxTableModel::SerialColumn), (Strings{"100", "200", "300"}));
    EXPECT_EQ(world.column(CashboxTableModel::AddressColumn),
              (Strings{"ул. Первая", "Очень длинный адрес ", "ул. Ленина, 1"}));
    EXPECT_EQ(world.column(CashboxTableModel::DeviceColumn), Strings(3, "фискальный регистрат"));
    EXPECT_EQ(world.column(CashboxTableModel::StatusColumn), Strings(3, "не активен"));
    EXPECT_EQ(world.windowSerials(), (Strings{"300", "100", "200"}));
    EXPECT_EQ(
        control<QLineEdit>(world.form().cashboxWindow(world.record("100")), "addressEdit")->text(),
        "ул. Первая");
    EXPECT_FALSE(world.form().cashboxWindow(world.record("100")).isVisible());
    // The other windows are not built until they are opened.
    EXPECT_EQ(world.form().builtCashboxWindow(world.record("200")), nullptr);
    EXPECT_EQ(world.dialogs.count(), 0u);
}

TEST(CashboxList, TextsAreCutByCharacters) {
    const QString emoji = QString::fromUtf8("😀");
    QString twentyOne;
    for (int i = 0; i < 21; ++i)
        twentyOne += emoji;
    EXPECT_EQ(CashboxTableModel::cutText(twentyOne).toUcs4().size(), 20);
    EXPECT_EQ(CashboxTableModel::cutText(twentyOne), twentyOne.left(40));
    EXPECT_EQ(CashboxTableModel::cutText("короткий"), "короткий");
}

TEST(CashboxList, ADoubleClickShowsTheRowsOwnWindow) {
    ListWorld world({}, {});
    world.answerSalePoints(Json::array({salePoint("B"), salePoint("C"), salePoint("A")}));
    world.form().prepareCashboxes();

    world.form().openSelectedCashbox();  // no current row yet
    control<QTableView>(world.form(), "cashboxTable")
        ->setCurrentIndex(world.form().cashboxModel().index(1, 0));
    world.form().openSelectedCashbox();
    CashboxWindow* b = world.form().builtCashboxWindow(world.record("B"));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->isVisible());
    EXPECT_EQ(control<QLineEdit>(*b, "serialEdit")->text(), "B");
    EXPECT_EQ(world.form().builtCashboxWindow(world.record("A")), nullptr);
    EXPECT_EQ(world.form().builtCashboxWindow(world.record("C")), nullptr);
}

// The grid keeps its 20-character cut; the pointer resting on a cut cell shows it whole.
TEST(CashboxList, ACutCellShowsItsWholeTextAsItsTooltip) {
    ListWorld world({}, {});
    const std::string longAddress = "Очень длинный адрес точки продаж, дом 15";
    world.answerSalePoints(Json::array({salePoint("100", longAddress, "Касса 1")}));
    world.form().prepareCashboxes();
    CashboxTableModel& model = world.form().cashboxModel();
    auto tip = [&](int column) {
        return model.index(0, column).data(Qt::ToolTipRole).toString().toStdString();
    };
    EXPECT_EQ(model.index(0, CashboxTableModel::AddressColumn).data().toString().size(), 20);
    EXPECT_EQ(tip(CashboxTableModel::AddressColumn), longAddress);
    EXPECT_EQ(tip(CashboxTableModel::DeviceColumn), "фискальный регистратор");
    // A text shown whole needs no tooltip.
    for (int column : {CashboxTableModel::SerialColumn, CashboxTableModel::PlaceColumn,
                       CashboxTableModel::StatusColumn})
        EXPECT_FALSE(model.index(0, column).data(Qt::ToolTipRole).isValid()) << column;
}

// Enter on a row opens that register's window, as a double click does; Escape closes it.
TEST(CashboxList, EnterOpensTheRowsWindowAndEscapeClosesIt) {
    ListWorld world({}, {});
    world.answerSalePoints(Json::array({salePoint("B"), salePoint("A")}));
    world.form().prepareCashboxes();
    auto* table = control<QTableView>(world.form(), "cashboxTable");
    table->setCurrentIndex(world.form().cashboxModel().index(1, 0));

    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(table, &enter);
    CashboxWindow* b = world.form().builtCashboxWindow(world.record("B"));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->isVisible());
    EXPECT_EQ(world.form().builtCashboxWindow(world.record("A")), nullptr);

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(b, &escape);
    EXPECT_FALSE(b->isVisible());
    // The register goes on; only its window is closed.
    EXPECT_NE(world.form().findCashbox("B"), nullptr);

    // The keypad's Enter opens it as well.
    table->setCurrentIndex(world.form().cashboxModel().index(0, 0));
    QKeyEvent keypadEnter(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
    QCoreApplication::sendEvent(table, &keypadEnter);
    CashboxWindow* a = world.form().builtCashboxWindow(world.record("A"));
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->isVisible());
    a->close();
}

TEST(CashboxList, AnswersWithoutAListAndElementsThatAreNoRegisterAddNothing) {
    ListWorld world({}, {});
    world.answerSalePoints(Json::array({salePoint("100")}));
    world.form().prepareCashboxes();

    const Json noList[] = {
        {{"status", 200}, {"data", Json::object()}},
        {{"status", 200}},
        {{"status", 401}, {"message", "Пользователь не авторизован"}},
    };
    for (const Json& answer : noList) {
        world.dispatcher.answer("getsalepoints", answer);
        world.form().prepareCashboxes();
    }
    world.answerSalePoints(Json::array(
        {42, "200", Json::array({"200"}), Json{{"address", "нет серийного номера"}},
         Json{{"kkt_serial", ""}}, Json{{"kkt_serial", Json::object()}}, salePoint("300")}));
    world.form().prepareCashboxes();

    EXPECT_EQ(world.column(CashboxTableModel::SerialColumn), (Strings{"100", "300"}));
    EXPECT_EQ(world.windowSerials(), (Strings{"100", "300"}));
    // Only the refused request says something: the client shows the service's message.
    EXPECT_EQ(world.dialogs.texts(), Strings{"Error: Пользователь не авторизован"});
}

// One register that cannot be connected at start holds up none after it: its failure is
// shown without a box, and the others connect.
TEST(CashboxList, AnUnpluggedRegisterAtStartIsShownOnceAndTheOthersStillListed) {
    std::vector<RecordSpec> records;
    std::vector<Json> bench;
    for (const char* serial : {"1", "2", "3"}) {
        const std::string port = std::string("COM") + serial;
        records.push_back({.serial = serial, .connectionType = "COM", .comPort = port});
        bench.push_back(benchRegister(serial, port));
    }
    bench[0]["reachable"] = false;
    ListWorld world(records, bench);
    world.answerSalePoints(Json::array({salePoint("1"), salePoint("2"), salePoint("3")}));
    world.form().prepareCashboxes();
    world.settleAll();

    EXPECT_EQ(world.column(CashboxTableModel::StatusColumn),
              (Strings{"не активен — Невозможно подключиться к кассе", "активен", "активен"}));
    EXPECT_EQ(world.windowSerials(), (Strings{"1", "2", "3"}));
    EXPECT_EQ(world.dialogs.count(), 0u);
    EXPECT_EQ(world.record("1").lastProblem(), "Невозможно подключиться к кассе");
    EXPECT_TRUE(world.record("1").state().reconnectTimer);
    EXPECT_TRUE(world.record("2").state().clientTimer);
    EXPECT_TRUE(world.record("3").state().clientTimer);
    EXPECT_EQ(world.dispatcher.count("cashbox"), 2u);
    // Its window, opened later, shows the problem.
    EXPECT_EQ(control<QLabel>(world.form().cashboxWindow(world.record("1")), "statusPanel")->text(),
              "Невозможно подключиться к кассе");
}

// A listed register enrolled here later (as the wizard does) gets its worker when the list
// is filled again; sale points not set up here never get one.
TEST(CashboxList, ARegisterSetUpAfterItWasListedGetsItsWorkerWithTheNextList) {
    ListWorld world({}, {benchRegister("A"), benchRegister("B", "COM2")});
    world.answerSalePoints(Json::array({salePoint("A"), salePoint("B")}));
    world.form().prepareCashboxes();
    EXPECT_EQ(world.record("A").worker(), nullptr);
    EXPECT_EQ(world.record("B").worker(), nullptr);

    auto enrolled = std::make_shared<CashboxSettings>();
    enrolled->serial = "A";
    enrolled->driver = "Атол";
    enrolled->connectionType = "USB";
    enrolled->autostart = true;
    world.form().appSettings().setCashboxSettings(enrolled);
    world.form().prepareCashboxes();
    ASSERT_NE(world.record("A").worker(), nullptr);
    world.settleAll();
    EXPECT_EQ(world.column(CashboxTableModel::StatusColumn), (Strings{"активен", "не активен"}));
    EXPECT_EQ(world.record("B").worker(), nullptr);
    EXPECT_EQ(world.windowSerials(), (Strings{"A", "B"}));
}

TEST(CashboxList, ClosingTheProgramReportsEveryRegisterDisconnected) {
    ListWorld world({{.serial = "A"}}, {benchRegister("A")});
    world.answerSalePoints(Json::array({salePoint("A")}));
    world.form().prepareCashboxes();
    world.settleAll();
    ASSERT_EQ(world.column(CashboxTableModel::StatusColumn), Strings{"активен"});

    world.form().stopRegisters();
    EXPECT_EQ(world.column(CashboxTableModel::StatusColumn), Strings{"не активен"});
    EXPECT_FALSE(world.record("A").isConnected());
    EXPECT_FALSE(world.record("A").worker()->isRunning());
}

// A document the journal refused waits for a person: the register's row says so, the tray
// icon stays red while the register is connected, and its window opens on its documents.
TEST(CashboxList, ARegisterWhoseDocumentsNeedAPersonSaysSoAndOpensOnThem) {
    ListWorld world({{.serial = "A"}, {.serial = "B", .connectionType = "COM", .comPort = "COM2"}},
                    {benchRegister("A"), benchRegister("B", "COM2")});
    {
        TaskJournal journal;
        journal.openJournal(world.home.file(kJournalFileName));
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(world.home.file(kJournalFileName).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "insert into checks_refused (serial, orig_id, reason, refused_at)"
                           " values ('A', '9', 'не читается', '2026-03-01T10:00:00Z')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    world.answerSalePoints(Json::array({salePoint("A"), salePoint("B")}));
    world.form().prepareCashboxes();
    world.settleAll();

    EXPECT_EQ(world.column(CashboxTableModel::StatusColumn),
              (Strings{"активен — требует внимания", "активен"}));
    EXPECT_TRUE(world.record("A").needsAttention());
    EXPECT_EQ(world.form().trayIcon().icon().cacheKey(),
              world.form().disconnectedIcon().cacheKey());
    world.form().onConnectionChanged("B", true);
    EXPECT_EQ(world.form().trayIcon().icon().cacheKey(),
              world.form().disconnectedIcon().cacheKey());

    auto* table = world.form().findChild<QTableView*>("cashboxTable");
    table->setCurrentIndex(world.form().cashboxModel().index(0, 0));
    world.form().openSelectedCashbox();
    CashboxWindow& window = world.form().cashboxWindow(world.record("A"));
    EXPECT_EQ(control<QTabWidget>(window, "pages")->currentWidget(), &window.documentsPage());
}

}  // namespace
