// The register list of the main window over the cashbox windows, headless, against the
// register emulator and a dispatcher on 127.0.0.1.
#include <gtest/gtest.h>

#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTimer>

#include "app/CashboxListModel.h"
#include "app/MainForm.h"
#include "app/TillhavenApp.h"
#include "cashbox/CashboxForm.h"
#include "cashbox/CashboxTestKit.h"
#include "cashbox/Journal.h"
#include "dispatcher/gui/ClientForm.h"

using namespace th;
using namespace th::test;

namespace {

// The program around a temporary data directory, its start sequence skipped: the client
// window has the settings, as after a successful login.
class ListWorld {
public:
    ListWorld(const std::vector<RecordSpec>& records, const std::vector<Json>& bench) {
        ensureQtApplication();
        home.write("settings.ini", settingsIniText(dispatcher.baseUrl(), records));
        home.write("emulator.json", benchText(bench));
        createJournalFile(home.file(kJournalFileName));
        app = std::make_unique<TillhavenApp>(
            dialogs, [](QDialog&) { return 0; }, [] {}, DataPaths{home.path(), home.path()});
        app->ClientForm().SetSettings(&form().AppSettings());
    }

    TForm1& form() { return app->Form1(); }
    void answerSalePoints(const Json& points) {
        dispatcher.answer("getsalepoints", {{"status", 200}, {"message", ""}, {"data", points}});
    }
    std::vector<std::string> column(int column) {
        std::vector<std::string> texts;
        TCashboxListModel& model = *form().FDMemTable1;
        for (int row = 0; row < model.rowCount(); ++row)
            texts.push_back(model.index(row, column).data().toString().toStdString());
        return texts;
    }
    std::vector<std::string> windowSerials() {
        std::vector<std::string> serials;
        for (const auto& cashbox : form().Cashboxes())
            serials.push_back(cashbox->serial());
        return serials;
    }
    TFormCashbox& window(const std::string& serial) {
        for (const auto& cashbox : form().Cashboxes())
            if (cashbox->serial() == serial)
                return *cashbox;
        throw std::runtime_error("no window for " + serial);
    }
    bool trayIs(const QIcon& icon) { return form().TrayIcon->icon().cacheKey() == icon.cacheKey(); }

    TestDispatcher dispatcher;
    TempDir home;
    RecordingDialogs dialogs;
    std::unique_ptr<TillhavenApp> app;
};

using Strings = std::vector<std::string>;

TEST(CashboxList, RowsAreSortedCutAndAddedOncePerSerial) {
    ListWorld world({}, {});
    world.answerSalePoints(Json::array({salePoint("300"), salePoint("100", "ул. Первая"),
                                        salePoint("200", "Очень длинный адрес точки продаж"),
                                        salePoint("100", "ул. Вторая")}));
    world.form().prepareCashboxes();
    world.form().prepareCashboxes();

    EXPECT_EQ(world.dispatcher.count("getsalepoints"), 2u);
    EXPECT_EQ(world.column(TCashboxListModel::KKTSerial), (Strings{"100", "200", "300"}));
    EXPECT_EQ(world.column(TCashboxListModel::Address),
              (Strings{"ул. Первая", "Очень длинный адрес ", "ул. Ленина, 1"}));
    EXPECT_EQ(world.column(TCashboxListModel::device), Strings(3, "фискальный регистрат"));
    EXPECT_EQ(world.column(TCashboxListModel::status), Strings(3, "не активен"));
    EXPECT_EQ(world.windowSerials(), (Strings{"300", "100", "200"}));
    EXPECT_EQ(world.window("100").Address->text(), "ул. Первая");
    for (const auto& cashbox : world.form().Cashboxes())
        EXPECT_FALSE(cashbox->isVisible());
    EXPECT_EQ(world.dialogs.count(), 0u);
}

TEST(CashboxList, TextsAreCutByCharacters) {
    const QString emoji = QString::fromUtf8("😀");
    QString twentyOne;
    for (int i = 0; i < 21; ++i)
        twentyOne += emoji;
    EXPECT_EQ(TCashboxListModel::cutText(twentyOne).toUcs4().size(), 20);
    EXPECT_EQ(TCashboxListModel::cutText(twentyOne), twentyOne.left(40));
    EXPECT_EQ(TCashboxListModel::cutText("короткий"), "короткий");
}

TEST(CashboxList, ADoubleClickShowsTheRowsOwnWindow) {
    ListWorld world({}, {});
    world.answerSalePoints(Json::array({salePoint("B"), salePoint("C"), salePoint("A")}));
    world.form().prepareCashboxes();

    world.form().CashBoxGridDblClick();  // no current row yet
    world.form().CashBoxGrid->setCurrentIndex(world.form().FDMemTable1->index(1, 0));
    world.form().CashBoxGridDblClick();
    EXPECT_TRUE(world.window("B").isVisible());
    EXPECT_FALSE(world.window("A").isVisible());
    EXPECT_FALSE(world.window("C").isVisible());
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

    EXPECT_EQ(world.column(TCashboxListModel::KKTSerial), (Strings{"100", "300"}));
    EXPECT_EQ(world.windowSerials(), (Strings{"100", "300"}));
    // Only the refused request says something: the client shows the service's message.
    EXPECT_EQ(world.dialogs.texts(), Strings{"Error: Пользователь не авторизован"});
}

TEST(CashboxList, TheTrayIconFollowsTheRegisterThatChangedLast) {
    ListWorld world({{.serial = "A"}, {.serial = "B", .connectionType = "COM", .comPort = "COM2"}},
                    {benchRegister("A"), benchRegister("B", "COM2")});
    world.answerSalePoints(Json::array({salePoint("A"), salePoint("B")}));
    world.form().prepareCashboxes();
    EXPECT_EQ(world.column(TCashboxListModel::status), (Strings{"активен", "активен"}));
    EXPECT_TRUE(world.trayIs(world.form().GreenIMage));
    EXPECT_EQ(world.dialogs.count(), 0u) << world.dialogs.texts().front();

    TFormCashbox& b = world.window("B");
    b.DisconnectClick(b.Disconnect);
    EXPECT_EQ(world.column(TCashboxListModel::status), (Strings{"активен", "не активен"}));
    EXPECT_TRUE(world.trayIs(world.form().RedImage));
    EXPECT_EQ(world.form().CashBoxGrid->currentIndex().row(), 1);

    world.form().CashboxConnectionChange(std::string("unknown"), true);
    EXPECT_TRUE(world.trayIs(world.form().RedImage));
}

// One register that cannot be connected at start does not hide the registers after it.
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

    EXPECT_EQ(world.column(TCashboxListModel::status),
              (Strings{"не активен", "активен", "активен"}));
    EXPECT_EQ(world.windowSerials(), (Strings{"1", "2", "3"}));
    EXPECT_EQ(world.dialogs.texts(), Strings{"Невозможно подключиться к кассе"});
    EXPECT_TRUE(world.window("1").ReconnectTimer->isActive());
    EXPECT_TRUE(world.window("2").ClientTimer->isActive());
    EXPECT_EQ(world.dispatcher.count("cashbox"), 2u);
}

TEST(CashboxList, ClosingTheProgramReportsEveryRegisterDisconnected) {
    ListWorld world({{.serial = "A"}}, {benchRegister("A")});
    world.answerSalePoints(Json::array({salePoint("A")}));
    world.form().prepareCashboxes();
    ASSERT_EQ(world.column(TCashboxListModel::status), Strings{"активен"});

    world.form().FormClose();
    EXPECT_EQ(world.column(TCashboxListModel::status), Strings{"не активен"});
    EXPECT_FALSE(world.window("A").isConnected());
}

}  // namespace
