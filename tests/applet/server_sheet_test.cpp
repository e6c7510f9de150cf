// The server property sheet driven offscreen against a temporary store, with
// certificates made by openssl and, at the end, a real service.
#include <cstring>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QInputDialog>
#include <QLabel>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTcpSocket>
#include <QTimer>
#include <QPlainTextEdit>
#include <QtTest>
#include <cstdlib>
#include <climits>
#include <deque>
#include <functional>
#include <memory>

#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/MainDlg.h"
#include "applet/sheet/Pages.h"
#include "applet/sheet/ServerSheet.h"
#include "applet/sheet/TabCtrlWithDisable.h"
#include "platform/service/ServiceController.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/applet/AppletTestSupport.h"
#include "tests/support/TempDir.h"

using namespace orvyn;
using namespace orvyn::applet;
using orvyn::test::FakePrompt;
using orvyn::test::FreePort;

namespace {


// A running service that counts the requests to re-read.
class CountingService : public RunningService {
public:
    explicit CountingService(int* count) : count_(count) {}
    void AskToReread() override { ++*count_; }

private:
    int* count_;
};

const std::string kKey = std::string(kServersKey) + "\\S";

// A control's state as one variant: check boxes and radio buttons as bool,
// spin boxes as int, line edits as text, combo boxes as index.
QVariant Get(QWidget* root, const QString& name) {
    QWidget* w = root->findChild<QWidget*>(name);
    if (auto* b = qobject_cast<QCheckBox*>(w))
        return b->isChecked();
    if (auto* r = qobject_cast<QRadioButton*>(w))
        return r->isChecked();
    if (auto* s = qobject_cast<QSpinBox*>(w))
        return s->value();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentIndex();
    return QVariant();
}

void Set(QWidget* root, const QString& name, const QVariant& v) {
    QWidget* w = root->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    if (auto* b = qobject_cast<QCheckBox*>(w))
        b->setChecked(v.toBool());
    else if (auto* r = qobject_cast<QRadioButton*>(w))
        r->setChecked(v.toBool());
    else if (auto* s = qobject_cast<QSpinBox*>(w))
        s->setValue(v.toInt());
    else if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setText(v.toString());
    else if (auto* c = qobject_cast<QComboBox*>(w))
        c->setCurrentIndex(v.toInt());
}

template <class T>
T* Child(QWidget* root, const char* name) {
    T* w = root->findChild<T*>(name);
    if (!w)
        qFatal("no control %s", name);
    return w;
}

int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// The standard output of a command.
QByteArray Output(const std::string& command) {
    QByteArray out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    char buffer[256];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p))
        out.append(buffer, static_cast<qsizetype>(n));
    ::pclose(p);
    return out;
}

}  // namespace

class ServerSheetTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDir> dir_;
    std::unique_ptr<COrvynCplApp> app_;
    FakePrompt prompt_;
    int rereads_ = 0;

    std::string Store() const { return *dir_ / "registry.db"; }
    reg::IStore& store() { return app_->store(); }
    reg::Value Value(const std::string& key, const char* name) {
        reg::Value v;
        store().QueryValue(key, name, v);
        return v;
    }
    QString TextOf(const std::string& key, const char* name) {
        const reg::Value v = Value(key, name);
        return v.type == reg::REG_SZ ? QString::fromUtf8(reinterpret_cast<const char*>(v.data.data())) : "<not text>";
    }
    long IntOf(const std::string& key, const char* name) {
        return CServerRegistry(store(), "S", nullptr).ReadInt(key.substr(kKey.size() + 1).c_str(), name, -1);
    }

private slots:
    void init() {
        dir_ = std::make_unique<test::TempDir>("applet-sheet-test");
        ::setenv("ORVYN_REGISTRY", Store().c_str(), 1);
        ::setenv("ORVYN_RUNDIR", (*dir_ / "run").c_str(), 1);
        ::setenv("ORVYN_CERTDIR", (*dir_ / "certs").c_str(), 1);
        ::setenv("ORVYN_EVENTLOG_FILE", (*dir_ / "events.log").c_str(), 1);
        ::setenv("ORVYN_SYSTEMD", "0", 1);
        rereads_ = 0;
        app_ = std::make_unique<COrvynCplApp>(Store(), std::make_unique<CountingService>(&rereads_));
        QVERIFY(store().CreateKey(kKey).ok());
        prompt_ = FakePrompt();
    }

    void cleanup() {
        reg::Store s(Store());
        service::ServiceController controller(s);
        if (controller.Open() == 0 && controller.QueryState() != 1)
            controller.Stop(10000);
        app_.reset();
        dir_.reset();
    }

    // A server without values shows what the service would do; OK writes
    // every value in its type and asks once for a re-read.
    void missingValuesShowDefaultsAndAreWritten() {
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        const QVariantMap shown = {
            {"Address", "0.0.0.0"}, {"Port", "ftp"},          {"Secure", true},       {"Allow_Puts", true},
            {"Allow_Anon", false},  {"AnonUser", "Guest"},    {"TimeOut", 300},       {"MaxUsers", 0},
            {"ServerType", 0},      {"Warnings", true},       {"Enable", false},      {"Allow", true},
            {"LowPort", 0},         {"ChooseFromRange", false}, {"DisableLowPorts", true}, {"RequireBackPort", true},
            {"MaxHacks", 5},        {"ServiceStore", true},   {"ImplicitSsl", false}, {"CertificateHash", 0}};
        for (auto it = shown.begin(); it != shown.end(); ++it)
            QVERIFY2(Get(&sheet, it.key()) == it.value(), qPrintable(it.key()));
        QCOMPARE(Child<QLabel>(&sheet, "CurrentStatus")->text(), QString("Running"));
        QVERIFY(!Child<QLineEdit>(&sheet, "Port")->isEnabled());
        QCOMPARE(Child<QLabel>(&sheet, "GreetingSummary")->text(), QString("Display no greeting message.\nPlay no sound."));
        // Every page's context help and the security topic are bundled.
        QVERIFY(CHelpWindow::HasTopic("orvyn-security"));
        for (int t = 0; t < CServerSheet::kTabs; ++t)
            QVERIFY2(CHelpWindow::HasTopic(sheet.page(t)->helpTopic()), qPrintable(sheet.page(t)->helpTopic()));

        sheet.accept();
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
        QCOMPARE(prompt_.told, QStringList());
        QCOMPARE(rereads_, 1);
        QCOMPARE(Value(kKey + "\\Security", "Secure").type, uint32_t(reg::REG_DWORD));
        QCOMPARE(IntOf(kKey + "\\Security", "Secure"), 1L);
        QCOMPARE(IntOf(kKey + "\\Security", "TimeOut"), 300L);
        QCOMPARE(TextOf(kKey + "\\Security", "AnonUser"), QString("Guest"));
        QCOMPARE(TextOf(kKey + "\\Security", "ServerType"), QString("ORVYN"));
        QCOMPARE(Value(kKey + "\\Security", "DefaultDomain").type, uint32_t(reg::REG_NONE));
        QCOMPARE(IntOf(kKey + "\\Logging", "Warnings"), 1L);
        QCOMPARE(IntOf(kKey + "\\Hosts", "AllowAll"), 1L);
        QCOMPARE(TextOf(kKey, "Port"), QString("ftp"));
        // Texts go with their terminating zero, an empty one too.
        QCOMPARE(Value(kKey + "\\TLS", "FTPSPort").data, std::vector<uint8_t>{0});
        const reg::Value hash = Value(kKey + "\\TLS", "CertificateHash");
        QCOMPARE(hash.type, uint32_t(reg::REG_BINARY));
        QCOMPARE(hash.data.size(), size_t(0));
    }

    // Every control that holds a value survives apply and reopen; a box in
    // its third state deletes its value.
    void everyPageRoundTrips() {
        const QString folder = QString::fromStdString(dir_->mkdir("jail"));
        const QVariantMap edits = {
            {"Address", "127.0.0.2"},   {"Port", "2121"},        {"Email", "ops@example.com"},
            {"Allow_Puts", false},      {"Allow_Anon", true},    {"Allow_Anon_Puts", true},
            {"MaxUsers", 7},            {"TimeOut", 0},          {"RestrictToDirectory", folder + "/"},
            {"ServerType", 1},          {"DefaultDomain", "WORK"}, {"LogFile", "/tmp/s.ftp"},
            {"Enable", true},           {"Gets", true},          {"Winsock", true},
            {"Warnings", false},        {"MESSAGE.FTP", true},   {"Deny", true},
            {"WaitForName", true},      {"ChooseFromRange", true}, {"LowPort", 40000},
            {"HighPort", 40100},        {"RandomPorts", true},   {"PASVStaticIP", "10.1.2.3"},
            {"DisableLowPorts", false}, {"RequireBackPort", false}, {"MaxHacks", 9},
            {"MachineStore", true},     {"ForbidClearData", false}, {"ImplicitSsl", true},
            {"FTPSPort", "9990"}};
        {
            CServerSheet sheet(*app_, "S", nullptr, &prompt_);
            for (auto it = edits.begin(); it != edits.end(); ++it)
                Set(&sheet, it.key(), it.value());
            sheet.page<CMessagePage>(CServerSheet::kMessages)->SetAction(false, {"Bye now", true, ""});
            QVERIFY(sheet.applyButton()->isEnabled());
            QVERIFY(sheet.Apply());
            QVERIFY(!sheet.applyButton()->isEnabled());
            QVERIFY(prompt_.told.value(0).startsWith("Note - a zero time-out may result in locked\n"));
        }
        QCOMPARE(TextOf(kKey + "\\Security", "ServerType"), QString("NTSAM"));
        QCOMPARE(TextOf(kKey + "\\Messages", "Bye"), QString("Bye now"));
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        for (auto it = edits.begin(); it != edits.end(); ++it)
            QVERIFY2(Get(&sheet, it.key()) == it.value(), qPrintable(it.key() + " " + Get(&sheet, it.key()).toString()));
        QCOMPARE(Child<QLabel>(&sheet, "FarewellSummary")->text(),
                 QString("Display farewell message.\nPlay sound in resource of ORVYNPro Executable."));

        Child<QCheckBox>(&sheet, "Gets")->setCheckState(Qt::PartiallyChecked);
        Set(&sheet, "RestrictToDirectory", folder + "/missing");
        QVERIFY(!sheet.Apply());
        QVERIFY(prompt_.told.last().startsWith("The directory you specified does not exist, or is not a directory."));
        QCOMPARE(sheet.currentPage()->title(), QString("Security"));
        Set(&sheet, "RestrictToDirectory", folder + "/./sub/../");
        QVERIFY(sheet.Apply());
        QCOMPARE(TextOf(kKey + "\\Security", "RestrictToDirectory"), folder + "/");
        QCOMPARE(Value(kKey + "\\Logging", "Gets").type, uint32_t(reg::REG_NONE));
    }

    // "As:" asks for the account's password (Cancel puts the old name back)
    // and warns about an account the system does not know or an empty one;
    // General shows a failed start and refuses renaming.
    void anonymousAccountAndGeneralPage() {
        auto d = reg::DwordData(0);
        store().SetValue(kKey, "Started", reg::REG_DWORD, d.data(), d.size());
        auto error = reg::StringData("Port 2121 is in use");
        store().SetValue(kKey, "Fatal Error", reg::REG_SZ, error.data(), error.size());
        auto address = reg::StringData("%SHEET_TEST_ADDRESS%");
        store().SetValue(kKey, "Address", reg::REG_EXPAND_SZ, address.data(), address.size());
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        QCOMPARE(Get(&sheet, "ServerName"), QVariant("S"));
        QCOMPARE(Child<QLabel>(&sheet, "CurrentStatus")->text(), QString("Fatal error"));
        QVERIFY(Child<QLabel>(&sheet, "StatusDescription")->text().endsWith("error description:\nPort 2121 is in use"));
        QVERIFY(Child<QLineEdit>(&sheet, "Port")->isEnabled());

        Set(&sheet, "ServerType", 1);
        auto* user = Child<QLineEdit>(&sheet, "AnonUser");
        auto leave = [&](const char* name, bool ok) {
            user->setText(name);
            QString caption;
            QTimer::singleShot(0, [&] {
                auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                if (!dlg)
                    return;
                caption = dlg->windowTitle();
                for (auto* field : dlg->findChildren<QLineEdit*>())
                    field->setText("pw");
                ok ? dlg->accept() : dlg->reject();
            });
            emit user->editingFinished();
            return caption;
        };
        QCOMPARE(leave("no-such-account-here", true), QString("Enter password for user."));
        QCOMPARE(prompt_.told.value(0),
                 QString("I cannot confirm that this user exists - if it does not, anonymous users will not be able to "
                         "log in."));
        leave("another-missing-account", false);
        QCOMPARE(user->text(), QString("no-such-account-here"));
        QCOMPARE(prompt_.told.size(), 2);
        Set(&sheet, "ServerName", "Renamed");
        QVERIFY(sheet.Apply());
        QCOMPARE(prompt_.told.value(2), QString("Renaming servers from this dialog is not supported.\nYou may rename "
                                                "this server from the main dialog."));
        QCOMPARE(Get(&sheet, "ServerName"), QVariant("S"));
        QCOMPARE(Value(kKey, "Address").type, uint32_t(reg::REG_EXPAND_SZ));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(Value(kKey, "Address").data.data())),
                 QByteArray("%SHEET_TEST_ADDRESS%"));
        QCOMPARE(TextOf(kKey + "\\Security", "AnonPass"), QString("pw"));
        QCOMPARE(TextOf(kKey + "\\Security", "DefaultDomain"), QString(""));

        QCOMPARE(leave("", true), QString());
        QVERIFY(prompt_.told.value(3).startsWith("Warning - you are allowing anonymous users the same rights"));
        QVERIFY(sheet.Apply());
        QCOMPARE(TextOf(kKey + "\\Security", "AnonPass"), QString(""));
        QCOMPARE(TextOf(kKey + "\\Security", "AnonUser"), QString(""));
    }

    // Security off greys the dependent tabs at once; the keys skip them.
    void enablingRulesAndTabKeys() {
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        sheet.show();
        sheet.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
        CTabCtrlWithDisable* tabs = sheet.tabs();
        tabs->setCurrentIndex(CServerSheet::kSecurity);
        QVERIFY(!Child<QLineEdit>(&sheet, "AnonUser")->isEnabled());
        QVERIFY(!Child<QCheckBox>(&sheet, "Allow_Anon_Puts")->isEnabled());
        Child<QCheckBox>(&sheet, "Allow_Anon")->click();
        QVERIFY(Child<QCheckBox>(&sheet, "Allow_Anon_Puts")->isEnabled());
        QVERIFY(!Child<QCheckBox>(&sheet, "Enable")->isEnabled());  // no log file

        Child<QCheckBox>(&sheet, "Secure")->click();
        QVERIFY2(prompt_.told.value(0).startsWith("You have opted to disable security on this server!\n"), qPrintable(prompt_.told.join("|")));
        for (int t : {CServerSheet::kLogging, CServerSheet::kNetwork, CServerSheet::kAdvanced})
            QVERIFY(!tabs->IsTabEnabled(t));
        QVERIFY(!Child<QSpinBox>(&sheet, "MaxUsers")->isEnabled());
        QVERIFY(!Child<QCheckBox>(&sheet, "Allow_Anon")->isEnabled());

        // Arrows stop at the ends; the Ctrl keys wrap around.
        tabs->setFocus();
        QTest::keyClick(tabs, Qt::Key_Right);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kMessages));
        QTest::keyClick(tabs, Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kConversions));
        QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kTls));
        QTest::keyClick(tabs, Qt::Key_Right);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kTls));
        QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kGeneral));
        QTest::keyClick(tabs, Qt::Key_Left);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kGeneral));
        QTest::keyClick(tabs, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kTls));
        QTest::keyClick(tabs, Qt::Key_PageUp, Qt::ControlModifier);
        QTest::keyClick(tabs, Qt::Key_PageUp, Qt::ControlModifier);
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kMessages));
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(CServerSheet::kNetwork).center());
        QCOMPARE(tabs->currentIndex(), int(CServerSheet::kMessages));

        QVERIFY(sheet.Apply());
        QCOMPARE(IntOf(kKey + "\\Security", "Secure"), 0L);
        CServerSheet again(*app_, "S", nullptr, &prompt_);
        QVERIFY(!again.tabs()->IsTabEnabled(CServerSheet::kAdvanced));
        QCOMPARE(prompt_.told.size(), 1);
    }

    // Ranges are stored as networks, numeric wild-cards are questioned and
    // numeric entries warned about; each default keeps its own list.
    void hostList() {
        FakePrompt& p = prompt_;
        CServerSheet sheet(*app_, "S", nullptr, &p);
        auto* net = sheet.page<CNetPage>(CServerSheet::kNetwork);
        auto add = [&](const char* entry) {
            Child<QLineEdit>(&sheet, "HostEntry")->setText(entry);
            net->OnAdd();
        };
        for (const char* e : {"192.168.1.77/24", "10.1.2.3/40", "10.0.0.0/0", "Host.Example", "host.EXAMPLE",
                              "1.2.3.4.5/8", "10.0.0.1", "2001:DB8:0:1:ff::1/60", "fe80::1/200", "2001:db8::g/32"})
            add(e);
        QCOMPARE(p.asked, QStringList());
        QCOMPARE(p.told, QStringList({"\"1.2.3.4.5/8\" is not a network range: enter it as a.b.c.d/e or as an IPv6 "
                                      "address and prefix.",
                                      "\"2001:db8::g/32\" is not a network range: enter it as a.b.c.d/e or as an IPv6 "
                                      "address and prefix."}));
        p.answers = {false, true};
        add("10.*.*.*");
        QVERIFY(p.asked.value(0).startsWith("We recommend not using numeric wild-card matches of this form"));
        QVERIFY(!net->entries().contains("10.*.*.*"));
        add("10.*.*.*");
        QCOMPARE(net->entries(), QStringList({"0.0.0.0/1", "10.*.*.*", "10.0.0.1", "10.1.2.3/32", "192.168.1.0/24",
                                              "2001:db8::/60", "fe80::1/128", "Host.Example"}));
        QCOMPARE(Child<QListWidget>(&sheet, "HostList")->currentItem()->text(), QString("10.*.*.*"));
        QVERIFY(Child<QPushButton>(&sheet, "DeleteHost")->isEnabled());
        net->OnDelete();
        QVERIFY(!Child<QPushButton>(&sheet, "DeleteHost")->isEnabled());
        Set(&sheet, "Deny", true);
        QCOMPARE(net->entries(), QStringList());
        add("trusted.example");
        QVERIFY(sheet.Apply());

        const std::string deny = kKey + "\\Hosts\\DenyThese";
        std::vector<reg::Value> values;
        QVERIFY(store().EnumValues(deny, values).ok());
        QCOMPARE(values.size(), size_t(7));
        QCOMPARE(values[0].type, uint32_t(reg::REG_DWORD));
        QCOMPARE(IntOf(deny, "10.0.0.1"), 1L);
        QCOMPARE(IntOf(kKey + "\\Hosts\\AllowThese", "trusted.example"), 1L);
        QCOMPARE(IntOf(kKey + "\\Hosts", "AllowAll"), 0L);

        // A numeric entry warns when its list is next shown, once.
        p.told.clear();
        CServerSheet again(*app_, "S", nullptr, &p);
        again.tabs()->setCurrentIndex(CServerSheet::kNetwork);
        QCOMPARE(p.told, QStringList());  // the allow list has no numeric entry
        Set(&again, "Allow", true);
        QCOMPARE(p.told.size(), 1);
        QVERIFY(p.told[0].startsWith("This list of addresses contains some entries that contain wild-cards"));
    }

    // Conversions keep "|" and "\" through the stored form; delete selects
    // the one before.
    void conversions() {
        auto put = [&](const char* name, const std::string& text) {
            auto d = reg::StringData(text);
            QVERIFY(store().SetValue(kKey + "\\Conversions", name, reg::REG_SZ, d.data(), d.size()).ok());
        };
        put("empty", "");
        put("gz", "||||gzip -c %s|13");
        const std::string conversions = kKey + "\\Conversions";
        {
            CServerSheet sheet(*app_, "S", nullptr, &prompt_);
            auto* page = sheet.page<CConversionsPage>(CServerSheet::kConversions);
            QCOMPARE(page->names(), QStringList({"gz"}));
            QCOMPARE(Get(&sheet, "Command"), QVariant("gzip -c %s"));
            // New asks again after a name in use (saying so) or an empty one.
            QStringList answers = {"GZ", "", "pipe"};
            QTimer answerer;
            connect(&answerer, &QTimer::timeout, [&] {
                auto* dlg = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
                if (dlg && !answers.isEmpty()) {
                    dlg->setTextValue(answers.takeFirst());
                    dlg->accept();
                }
            });
            answerer.start(10);
            page->OnNew();
            answerer.stop();
            QCOMPARE(answers, QStringList());
            QCOMPARE(prompt_.told, QStringList({"That name has already been used - please choose another or cancel."}));
            QCOMPARE(page->names(), QStringList({"gz", "pipe"}));
            Set(&sheet, "Command", "sh -c 'cat %s | sort'");
            Set(&sheet, "LocalPrefix", "a\\|b\\");
            Set(&sheet, "RequestedSuffix", ".sorted");
            QVERIFY(page->AddConversion("third"));
            page->OnDelete();
            QCOMPARE(page->names(), QStringList({"gz", "pipe"}));
            QCOMPARE(Child<QListWidget>(&sheet, "ConversionList")->currentRow(), 1);
            page->RenameSelected("sorted");
            QVERIFY(sheet.Apply());
        }
        QCOMPARE(TextOf(conversions, "sorted"), QString("a\\\\\\|b\\\\|||.sorted|sh -c 'cat %s \\| sort'|0"));
        QCOMPARE(Value(conversions, "empty").type, uint32_t(reg::REG_NONE));
        QCOMPARE(Value(conversions, "pipe").type, uint32_t(reg::REG_NONE));
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        auto* page = sheet.page<CConversionsPage>(CServerSheet::kConversions);
        QCOMPARE(page->names(), QStringList({"gz", "sorted"}));
        Child<QListWidget>(&sheet, "ConversionList")->setCurrentRow(1);
        QCOMPARE(Get(&sheet, "Command"), QVariant("sh -c 'cat %s | sort'"));
        QCOMPARE(Get(&sheet, "LocalPrefix"), QVariant("a\\|b\\"));
        QCOMPARE(Get(&sheet, "RequestedSuffix"), QVariant(".sorted"));
    }

    // OK without edits writes back what was read, byte for byte: text that
    // is not UTF-8 (names too), and conversions the service ignores, also
    // one of a type it does not read, which the page does not list.
    void uneditedValuesKeepTheirBytes() {
        auto put = [&](const std::string& key, const std::string& name, const std::string& text) {
            auto d = reg::StringData(text);
            QVERIFY(store().SetValue(key, name, reg::REG_SZ, d.data(), d.size()).ok());
        };
        const std::string deny = kKey + "\\Hosts\\DenyThese";
        put(kKey + "\\Security", "AnonPass", "p\xe4ss");
        put(kKey + "\\Messages", "Greet", "Gr\xfc\xdf Gott \xf0\x9f\x99\x82");
        const std::string bye = "Bye\xc2\xa0!\xe2\x80\xa8" "230 b\r230 c";  // NBSP, line separator, lone CR
        put(kKey + "\\Messages", "Bye", bye);
        const auto one = reg::DwordData(1);
        QVERIFY(store().SetValue(deny, "h\xf6st.example", reg::REG_DWORD, one.data(), one.size()).ok());
        put(kKey + "\\Conversions", "seven", "|||.zz|cat %s|13|x");
        put(kKey + "\\Conversions", "fine", "|||.gz|gzip -c %s|13");
        put(kKey + "\\Conversions", "", "|||.bz|bzip2 -c %s|13");  // unnamed: the page does not show it
        const auto expand = reg::StringData("|||.up|echo %s|13");
        QVERIFY(store().SetValue(kKey + "\\Conversions", "ex", reg::REG_EXPAND_SZ, expand.data(), expand.size()).ok());
        {
            CServerSheet sheet(*app_, "S", nullptr, &prompt_);
            QVERIFY(!sheet.page<CConversionsPage>(CServerSheet::kConversions)->names().contains("ex"));
            // The farewell dialog closed with OK and no edit.
            auto* messages = sheet.page<CMessagePage>(CServerSheet::kMessages);
            CMessageDlg dialog(&sheet, false, messages->farewell(), true);
            messages->SetAction(false, dialog.action());
            // Typed: Shift+Return starts a line as Return does.
            CMessageDlg typed(&sheet, true, {}, true);
            QTest::keyClicks(typed.findChild<QPlainTextEdit*>(), "Hi");
            QTest::keyClick(typed.findChild<QPlainTextEdit*>(), Qt::Key_Return, Qt::ShiftModifier);
            QTest::keyClicks(typed.findChild<QPlainTextEdit*>(), "there");
            QCOMPARE(typed.action().text, QString("Hi\nthere"));
            QVERIFY(sheet.Apply());
        }
        auto bytes = [&](const std::string& key, const char* name) {
            const reg::Value v = Value(key, name);
            return std::string(reinterpret_cast<const char*>(v.data.data()),
                               strnlen(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
        };
        QCOMPARE(bytes(kKey + "\\Security", "AnonPass"), std::string("p\xe4ss"));
        QCOMPARE(bytes(kKey + "\\Messages", "Greet"), std::string("Gr\xfc\xdf Gott \xf0\x9f\x99\x82"));
        QCOMPARE(bytes(kKey + "\\Messages", "Bye"), bye);
        QCOMPARE(Value(deny, "h\xf6st.example").type, uint32_t(reg::REG_DWORD));
        QCOMPARE(bytes(kKey + "\\Conversions", "seven"), std::string("|||.zz|cat %s|13|x"));
        QCOMPARE(bytes(kKey + "\\Conversions", "fine"), std::string("|||.gz|gzip -c %s|13"));
        QCOMPARE(bytes(kKey + "\\Conversions", ""), std::string("|||.bz|bzip2 -c %s|13"));
        QCOMPARE(Value(kKey + "\\Conversions", "ex").type, uint32_t(reg::REG_EXPAND_SZ));
        QCOMPARE(bytes(kKey + "\\Conversions", "ex"), std::string("|||.up|echo %s|13"));
    }

    // Values a control shows only approximately keep their meaning to the
    // service through OK until their control is changed: a flag of 2, a choice the page does not
    // offer, a count above what a spin box holds, a range that is off, a
    // restricting folder that is not there now. Changed ones are written.
    void untouchedValuesKeepTheirMeaning() {
        auto dword = [&](const char* section, const char* name, uint32_t v) {
            auto d = reg::DwordData(v);
            QVERIFY(store().SetValue(kKey + "\\" + section, name, reg::REG_DWORD, d.data(), d.size()).ok());
        };
        auto text = [&](const char* section, const char* name, uint32_t type, const std::string& t) {
            auto d = reg::StringData(t);
            QVERIFY(store().SetValue(kKey + "\\" + section, name, type, d.data(), d.size()).ok());
        };
        dword("TLS", "ClientCertificateAction", 3);
        dword("TLS", "CertificateStore", 2);
        dword("Messages", "PlayHelloSound", 2);
        dword("Messages", "PlayGoodbyeSound", 2);
        dword("Security", "MaxUsers", 0xFFFFFFFF);
        dword("Security", "MaxHacks", 0x80000000);
        dword("Security", "HighPort", 20510);
        text("Security", "RestrictToDirectory", reg::REG_SZ, *dir_ / "not-mounted-yet/ftp");
        // Every value of the server, as stored.
        std::function<void(const std::string&, QStringList&)> dump = [&](const std::string& key, QStringList& out) {
            std::vector<reg::Value> values;
            store().EnumValues(key, values);
            for (const reg::Value& v : values)
                out << QString::fromStdString(key + "|" + v.name) + "|" + QString::number(v.type) + "|" +
                           QByteArray(reinterpret_cast<const char*>(v.data.data()), int(v.data.size())).toHex();
            std::vector<std::string> subkeys;
            store().EnumSubkeys(key, subkeys);
            for (const std::string& s : subkeys)
                dump(key + "\\" + s, out);
        };
        QStringList before;
        dump(kKey, before);
        {
            CServerSheet sheet(*app_, "S", nullptr, &prompt_);
            QCOMPARE(Get(&sheet, "MaxUsers"), QVariant(INT_MAX));
            QCOMPARE(Get(&sheet, "MaxHacks"), QVariant(INT_MAX));
            QCOMPARE(Child<QLabel>(&sheet, "GreetingSummary")->text(),
                     QString("Display no greeting message.\nPlay no sound."));
            Set(&sheet, "Email", "ops@example.com");
            QVERIFY(sheet.Apply());
            QCOMPARE(prompt_.told, QStringList());
        }
        QStringList after;
        dump(kKey, after);
        QCOMPARE(after.filter("|Email|"), QStringList({QString::fromStdString(kKey) + "|Email|1|" +
                                                       QByteArray("ops@example.com", 16).toHex()}));
        // Every value stored before is there byte for byte.
        for (const QString& v : before)
            QVERIFY2(after.contains(v), qPrintable(v));

        // Changed controls are written as they show.
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        Set(&sheet, "MaxUsers", 10);
        sheet.page<CMessagePage>(CServerSheet::kMessages)->SetAction(true, {"", true, ""});
        QVERIFY(sheet.Apply());
        QCOMPARE(IntOf(kKey + "\\Security", "MaxUsers"), 10L);
        QVERIFY(Value(kKey + "\\Security", "MaxHacks").data == reg::DwordData(0x80000000));
        QCOMPARE(IntOf(kKey + "\\Messages", "PlayHelloSound"), 1L);
        QCOMPARE(IntOf(kKey + "\\Messages", "PlayGoodbyeSound"), 2L);
        QCOMPARE(IntOf(kKey + "\\TLS", "CertificateStore"), 2L);
        QCOMPARE(prompt_.told, QStringList());
    }

    // The passive range: off or reversed saves both ports as 0; the static
    // address takes digits and dots only.
    void pasvRange() {
        auto dword = [&](const char* name, uint32_t v) {
            auto d = reg::DwordData(v);
            store().SetValue(kKey + "\\Security", name, reg::REG_DWORD, d.data(), d.size());
        };
        dword("HighPort", 5000);
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        QCOMPARE(Get(&sheet, "HighPort"), QVariant(0));
        QVERIFY(!Child<QSpinBox>(&sheet, "LowPort")->isEnabled());
        Child<QCheckBox>(&sheet, "ChooseFromRange")->click();
        QVERIFY(Child<QSpinBox>(&sheet, "LowPort")->isEnabled());
        Set(&sheet, "LowPort", 6000);
        Set(&sheet, "HighPort", 5999);
        auto* ip = Child<QLineEdit>(&sheet, "PASVStaticIP");
        QTest::keyClicks(ip, "10.0x.5.7");
        QCOMPARE(ip->text(), QString("10.0.5.7"));
        QVERIFY(sheet.Apply());
        QCOMPARE(IntOf(kKey + "\\Security", "LowPort"), 0L);
        QCOMPARE(IntOf(kKey + "\\Security", "HighPort"), 0L);
        Set(&sheet, "HighPort", 6001);
        QVERIFY(sheet.Apply());
        QCOMPARE(IntOf(kKey + "\\Security", "HighPort"), 6001L);
        Child<QCheckBox>(&sheet, "ChooseFromRange")->click();
        QVERIFY(sheet.Apply());
        QCOMPARE(IntOf(kKey + "\\Security", "LowPort"), 0L);
        QCOMPARE(TextOf(kKey + "\\Security", "PASVStaticIP"), QString("10.0.5.7"));
    }

    // A range of one port and a static address the service cannot use are
    // refused when the administrator sets them, and kept when stored so.
    void pasvValuesTheServiceIgnores() {
        auto dword = [&](const char* name, uint32_t v) {
            auto d = reg::DwordData(v);
            store().SetValue(kKey + "\\Security", name, reg::REG_DWORD, d.data(), d.size());
        };
        dword("LowPort", 20500);
        dword("HighPort", 20500);
        auto d = reg::StringData("192.168.001.005");
        store().SetValue(kKey + "\\Security", "PASVStaticIP", reg::REG_SZ, d.data(), d.size());
        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        Set(&sheet, "MaxHacks", 3);
        QVERIFY(sheet.Apply());
        QCOMPARE(prompt_.told, QStringList());
        QCOMPARE(IntOf(kKey + "\\Security", "HighPort"), 20500L);
        QCOMPARE(TextOf(kKey + "\\Security", "PASVStaticIP"), QString("192.168.001.005"));

        const QString badIp = "The static IP address must be an IPv4 address of four numbers from 0 to 255 separated "
                              "by dots, without leading zeros (for example 192.168.1.5), or empty.\nThe server "
                              "ignores any other address.";
        for (const char* ip : {"192.168.1.256", "10.1.2", "1.2.3.4.5", "010.1.2.3", "10..2.3"}) {
            Set(&sheet, "PASVStaticIP", ip);
            QVERIFY2(!sheet.Apply(), ip);
            QCOMPARE(prompt_.told.takeLast(), badIp);
            QCOMPARE(sheet.currentPage()->title(), QString("Advanced"));
        }
        Set(&sheet, "PASVStaticIP", "255.255.255.255");
        Set(&sheet, "LowPort", 21000);
        Set(&sheet, "HighPort", 21000);
        QVERIFY(!sheet.Apply());
        QCOMPARE(prompt_.told.takeLast(), QString("A passive port range needs a highest port above the lowest port.\n"
                                                  "With both the same the server ignores the range and may use any "
                                                  "port."));
        Set(&sheet, "HighPort", 21001);
        QVERIFY(sheet.Apply());
        QCOMPARE(IntOf(kKey + "\\Security", "LowPort"), 21000L);
        QCOMPARE(TextOf(kKey + "\\Security", "PASVStaticIP"), QString("255.255.255.255"));
        Set(&sheet, "PASVStaticIP", "");
        QVERIFY(sheet.Apply());
        QCOMPARE(TextOf(kKey + "\\Security", "PASVStaticIP"), QString(""));
        QCOMPARE(prompt_.told, QStringList());
    }

    // The certificates of the service's folder by name with expiry; the
    // chosen one's hash is written; a key of another certificate is refused.
    void tlsCertificates() {
        const std::string store0 = dir_->mkdir("certs") + "/service";
        QVERIFY(::mkdir(store0.c_str(), 0700) == 0);
        const std::string work = dir_->mkdir("work");
        auto make = [&](const std::string& name, const std::string& subject) {
            return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj '" +
                       subject + "' -keyout '" + work + "/" + name + ".key' -out '" + work + "/" + name + ".crt'");
        };
        QCOMPARE(make("a", "/O=Example/CN=alpha.test"), 0);
        QCOMPARE(make("b", "/O=Beta Org"), 0);
        auto bundle = [&](const char* name, const char* cert, const char* key) {
            QFile out(QString::fromStdString(store0 + "/" + name));
            QFile c(QString::fromStdString(work + "/" + cert)), k(QString::fromStdString(work + "/" + key));
            QVERIFY(out.open(QIODevice::WriteOnly) && c.open(QIODevice::ReadOnly) && k.open(QIODevice::ReadOnly));
            out.write(c.readAll() + k.readAll());
            out.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        };
        bundle("a.pem", "a.crt", "a.key");
        bundle("b.pem", "b.crt", "a.key");
        const QByteArray fingerprint = Output("openssl x509 -in " + work + "/a.crt -noout -fingerprint -sha1");
        const QByteArray hash = QByteArray::fromHex(fingerprint.mid(fingerprint.indexOf('=') + 1).replace(":", ""));
        QCOMPARE(hash.size(), 20);

        CServerSheet sheet(*app_, "S", nullptr, &prompt_);
        auto* list = Child<QComboBox>(&sheet, "CertificateHash");
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->itemText(0), QString());
        QVERIFY(list->itemText(1).startsWith("alpha.test  (expires 20"));
        QVERIFY(list->itemText(2).startsWith("O = Beta Org  (expires "));

        // Requiring TLS without a certificate is refused.
        Child<QCheckBox>(&sheet, "ForbidClearUser")->click();
        QCOMPARE(prompt_.told.value(0), QString("Cannot enable SSL / TLS without a server certificate!"));
        QVERIFY(!Child<QCheckBox>(&sheet, "ForbidClearUser")->isChecked());

        list->setCurrentIndex(2);
        emit list->activated(2);
        QCOMPARE(prompt_.told.size(), 2);
        QVERIFY(prompt_.told[1].startsWith("Unable to acquire context handle - this certificate might not work.\n"));
        list->setCurrentIndex(1);
        emit list->activated(1);
        QCOMPARE(prompt_.told.size(), 2);
        Child<QCheckBox>(&sheet, "ForbidClearUser")->click();
        QVERIFY(Child<QCheckBox>(&sheet, "ForbidClearUser")->isChecked());
        QVERIFY(sheet.Apply());
        const reg::Value stored = Value(kKey + "\\TLS", "CertificateHash");
        QCOMPARE(stored.type, uint32_t(reg::REG_BINARY));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(stored.data.data()), int(stored.data.size())), hash);
        QCOMPARE(IntOf(kKey + "\\TLS", "ForbidClearUser"), 1L);

        // Reopened, the hash selects its entry; the empty entry lifts the
        // USER requirement.
        CServerSheet again(*app_, "S", nullptr, &prompt_);
        auto* list2 = Child<QComboBox>(&again, "CertificateHash");
        QCOMPARE(list2->currentIndex(), 1);
        list2->setCurrentIndex(0);
        emit list2->activated(0);
        QVERIFY(!Child<QCheckBox>(&again, "ForbidClearUser")->isChecked());
    }

    // The main dialog opens the sheet; a greeting applied there reaches the
    // next client of a running service.
    void appliedGreetingReachesRunningService() {
        app_ = std::make_unique<COrvynCplApp>(Store());
        const int port = FreePort();
        auto text = reg::StringData("127.0.0.1");
        QVERIFY(store().SetValue(kKey, "Address", reg::REG_SZ, text.data(), text.size()).ok());
        auto portData = reg::DwordData(static_cast<uint32_t>(port));
        QVERIFY(store().SetValue(kKey, "Port", reg::REG_DWORD, portData.data(), portData.size()).ok());
        const std::string install = std::string("\"") + std::getenv("ORVYN_BIN") + "/orvyn\" -installq";
        QCOMPARE(Run(install), 0);
        QVERIFY(app_->OpenService());
        QCOMPARE(app_->service().Start(), 0L);

        auto greeting = [&] {
            QTcpSocket c;
            c.connectToHost("127.0.0.1", static_cast<quint16>(port));
            if (!c.waitForConnected(2000))
                return QByteArray();
            QByteArray got;
            while (!got.contains("220 ") && c.waitForReadyRead(2000))
                got += c.readAll();
            return got;
        };
        QTRY_VERIFY_WITH_TIMEOUT(greeting().contains("220"), 10000);

        CMainDlg dlg(*app_, nullptr, &prompt_);
        dlg.SelectServerRow("S");
        dlg.Idle();
        QString title;
        QTimer::singleShot(0, [&] {
            auto* sheet = qobject_cast<CServerSheet*>(QApplication::activeModalWidget());
            if (!sheet)
                return;
            title = sheet->windowTitle();
            sheet->page<CMessagePage>(CServerSheet::kMessages)->SetAction(true, {"Hello from the sheet", false, ""});
            sheet->accept();
        });
        dlg.command("&Configure Server...")->trigger();
        QCOMPARE(title, QString("Configure Server S"));
        QTRY_VERIFY_WITH_TIMEOUT(greeting().contains("220-Hello from the sheet"), 10000);
    }
};

QTEST_MAIN(ServerSheetTest)
#include "server_sheet_test.moc"
