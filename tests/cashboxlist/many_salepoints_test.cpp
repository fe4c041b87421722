// An account with thousands of sale points, one of whose registers is on this workstation:
// the workstation's register works under a desktop's open-file limit, against the sandbox.
// The sandbox comes before Qt, whose "emit" keyword it uses as a name.
#include "DemoFeed.h"
#include "SandboxServer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QLineEdit>

#include <map>

#include "app/CashboxTableModel.h"
#include "app/MainWindow.h"
#include "app/TillhavenApp.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxTestKit.h"
#include "cashbox/CashboxWindow.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

constexpr int kSalePoints = 2000;
constexpr const char* kAccountToken = "many-account-token";

std::string serialOf(int index) {
    const std::string number = std::to_string(index + 1);
    return "001067" + std::string(8 - number.size(), '0') + number;
}

Json seedWith(int count) {
    Json salepoints = Json::array();
    for (int i = 0; i < count; ++i)
        salepoints.push_back(salePoint(serialOf(i), "Тверская, 7", "Автомат " + std::to_string(i)));
    return {{"accounts", Json::array({{{"login", "many@tillhaven.local"},
                                       {"password", "many"},
                                       {"token", kAccountToken},
                                       {"salepoints", salepoints}}})}};
}

bool allAcked(sandbox::SandboxServer& sandbox, const std::string& serial) {
    const Json book = sandbox.state().registerSnapshot(serial);
    for (const Json& doc : book.value("docs", Json::array()))
        if (doc.value("state", "") != "acked")
            return false;
    return true;
}

TEST(ManySalePoints, TheRegisterSetUpHereWorksUnderAnOpenFileLimitOf256) {
    const rlimit limit{256, 256};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ensureQtApplication();
    sandbox::SandboxOptions options;
    options.seed = seedWith(kSalePoints);
    options.handOutOnce = true;
    sandbox::SandboxServer sandbox(options);
    const int port = sandbox.start();

    const std::string here = serialOf(kSalePoints / 2);
    TempDir home;
    home.write("settings.ini",
               std::string("[auth]\ntoken=") + kAccountToken +
                   "\n[system]\nTestMode=1\nKeepVersion=1\nTestUrl=http://127.0.0.1:" +
                   std::to_string(port) +
                   "/dispatcher/v1\nRegisterDriver=emulator\n[cashboxes]\nserials=" + here + "\n[" +
                   here + "]\nKKTSerial=" + here +
                   "\nDriver=Атол\nConnectionType=USB\nAutostart=1\n");
    home.write("emulator.json", benchText({benchRegister(here)}));
    createJournalFile(home.file(kJournalFileName));
    Json docs = Json::array({sandbox::DemoFeed::openShiftTask(), sandbox::DemoFeed::saleTask(0),
                             sandbox::DemoFeed::saleTask(1)});
    const std::vector<std::string> ids = sandbox.state().queueDocs(here, docs);

    RecordingDialogs dialogs;
    TillhavenApp app(
        dialogs, [](QDialog&) { return 0; }, [] {}, DataPaths{home.path(), home.path()});
    MainWindow& form = app.mainWindow();
    app.requestLogWindow().setSettings(&form.appSettings());
    form.prepareCashboxes();

    EXPECT_EQ(form.cashboxModel().rowCount(), kSalePoints);
    EXPECT_EQ(form.cashboxModel().rowAt(0).serial.toStdString(), serialOf(0));
    EXPECT_TRUE(waitUntil([&] { return allAcked(sandbox, here); }, 90000))
        << sandbox.state().registerSnapshot(here).dump();
    std::map<std::string, int> expected;
    for (const std::string& id : ids)
        expected[id] = 1;
    EXPECT_EQ(fiscalisations(home.path()), expected);

    // Only the register set up here has a worker; any other opens its window on demand.
    size_t workers = 0;
    for (const auto& record : form.cashboxes())
        workers += record->worker() != nullptr;
    EXPECT_EQ(workers, 1u);
    CashboxRecord* elsewhere = form.findCashbox(serialOf(1234));
    ASSERT_NE(elsewhere, nullptr);
    CashboxWindow& window = form.cashboxWindow(*elsewhere);
    window.show();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(control<QLineEdit>(window, "serialEdit")->text().toStdString(), serialOf(1234));
    EXPECT_EQ(dialogs.count(), 0u) << dialogs.texts().front();
    form.stopRegisters();
}

}  // namespace
