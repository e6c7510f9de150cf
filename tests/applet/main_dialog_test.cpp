// The applet's entry and main dialog driven offscreen against a temporary
// store and a real service started by the built-in manager.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QDialogButtonBox>
#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QScreen>
#include <QSplitter>
#include <QTextBrowser>
#include <QTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "applet/ConnectDialog.h"
#include "applet/Cpl.h"
#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/MainDlg.h"
#include "applet/ServerKeys.h"
#include "platform/service/ServiceController.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/applet/AppletTestSupport.h"
#include "tests/support/TempDir.h"

using namespace orvyn;
using namespace orvyn::applet;
using orvyn::test::FakePrompt;
using orvyn::test::FreePort;

namespace {


bool Listening(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// Kills the programs named `comm` that this process started.
void KillOwnChildren(const std::string& comm) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        if (!std::getline(in, stat))
            continue;
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size())
            continue;
        char state = 0;
        long parent = 0;
        std::istringstream(stat.substr(close + 2)) >> state >> parent;
        if (parent == ::getpid() && stat.compare(open + 1, close - open - 1, comm) == 0)
            ::kill(std::stoi(entry.path().filename().string()), SIGKILL);
    }
}

// Selects the connection rows whose Name column is one of names.
void SelectConnections(CMainDlg& dlg, const QStringList& names) {
    QTreeWidget* list = dlg.connectionList();
    list->clearSelection();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (names.contains(list->topLevelItem(i)->text(0)))
            list->topLevelItem(i)->setSelected(true);
}

QTreeWidgetItem* ConnectionRow(CMainDlg& dlg, const QString& column1) {
    QTreeWidget* list = dlg.connectionList();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(1) == column1)
            return list->topLevelItem(i);
    return nullptr;
}

std::string Key(const std::string& name) { return std::string(kServersKey) + "\\" + name; }

void SetString(reg::IStore& s, const std::string& key, const char* name, const std::string& text,
               uint32_t type = reg::REG_SZ) {
    auto d = reg::StringData(text);
    QVERIFY(s.SetValue(key, name, type, d.data(), d.size()).ok());
}

void SetDword(reg::IStore& s, const std::string& key, const char* name, uint32_t v) {
    auto d = reg::DwordData(v);
    QVERIFY(s.SetValue(key, name, reg::REG_DWORD, d.data(), d.size()).ok());
}

// The row texts of the server list, top to bottom: "name|address|port|status".
QStringList Rows(CMainDlg& dlg) {
    QStringList out;
    QTreeWidget* list = dlg.serverList();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        auto* r = list->topLevelItem(i);
        out << r->text(0) + "|" + r->text(1) + "|" + r->text(3) + "|" + r->text(5);
    }
    return out;
}

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDir> dir_;
    std::unique_ptr<COrvynCplApp> app_;

    std::string Store() const { return *dir_ / "registry.db"; }

    int Orvyn(const char* args) {
        const std::string cmd = std::string("\"") + std::getenv("ORVYN_BIN") + "/orvyn\" " + args + " >/dev/null 2>&1";
        return std::system(cmd.c_str());
    }

    // Reads the service state into the dialog until it is `state`.
    bool WaitForState(CMainDlg& dlg, uint32_t state) {
        for (int i = 0; i < 200; ++i) {
            dlg.WatchService();
            if (dlg.lastServiceState() == state) {
                dlg.Idle();
                return true;
            }
            QTest::qWait(50);
        }
        return false;
    }

private slots:
    void init() {
        dir_ = std::make_unique<test::TempDir>("applet-test");
        ::setenv("ORVYN_REGISTRY", Store().c_str(), 1);
        ::setenv("ORVYN_RUNDIR", (*dir_ / "run").c_str(), 1);
        ::setenv("ORVYN_CERTDIR", (*dir_ / "certs").c_str(), 1);
        ::setenv("ORVYN_EVENTLOG_FILE", (*dir_ / "events.log").c_str(), 1);
        ::setenv("ORVYN_SYSTEMD", "0", 1);
        app_ = std::make_unique<COrvynCplApp>(Store());
    }

    void cleanup() {
        // Never leave a service behind, whatever failed (the other
        // computer's too).
        for (const std::string& name : {std::string("far"), std::string()}) {
            const std::string root = name.empty() ? dir_->path() : *dir_ / name;
            ::setenv("ORVYN_RUNDIR", (std::filesystem::path(root) / "run").c_str(), 1);
            reg::Store store(std::filesystem::path(root) / "registry.db");
            service::ServiceController controller(store);
            if (controller.Open() == 0 && controller.QueryState() != 1)
                controller.Stop(10000);
        }
        app_.reset();
        dir_.reset();
    }

    // Value forms of the store and what the list makes of them while no
    // service is installed.
    void valueFormsWithoutService() {
        reg::IStore& s = app_->store();
        QVERIFY(s.CreateKey(Key("Bare")).ok());
        SetString(s, Key("No"), "Started", "no");
        SetString(s, Key("One"), "Enabled", "0");
        SetDword(s, Key("One"), "Started", 1);
        SetString(s, Key("Yes"), "Started", "yes");
        ::setenv("APPLET_TEST_HOST", "host.example", 1);
        SetString(s, Key("Yes"), "Address", "%APPLET_TEST_HOST%", reg::REG_EXPAND_SZ);
        SetDword(s, Key("Yes"), "Port", 2121);
        SetDword(s, Key("Yes"), "Enabled", 0);

        QCOMPARE(ReadServerRecord(s, "Bare").failed, false);
        QCOMPARE(ReadServerRecord(s, "No").failed, true);
        QCOMPARE(ReadServerRecord(s, "One").failed, false);
        QCOMPARE(ReadServerRecord(s, "Yes").failed, false);

        FakePrompt prompt;
        QVERIFY(!app_->OpenService());
        CMainDlg dlg(*app_, nullptr, &prompt);
        QCOMPARE(dlg.serviceButton()->text(), QString("No Svc status"));
        QVERIFY(!dlg.serviceButton()->isEnabled());
        QCOMPARE(Rows(dlg), QStringList({"Bare|0.0.0.0|ftp|Paused", "No|0.0.0.0|ftp|Paused", "One|0.0.0.0|ftp|Stopped",
                                         "Yes|host.example|2121|Stopped"}));
        // With the service stopped, the start/stop command disables a paused
        // instance.
        dlg.SelectServerRow("Bare");
        dlg.Idle();
        QVERIFY(dlg.command("&Stop Server")->isEnabled());
        dlg.command("&Stop Server")->trigger();
        QCOMPARE(CServerRegistry(s, "Bare", nullptr).ReadInt(nullptr, "Enabled", 1), 0L);

        // Help: the bundled pages by topic, the error for a missing one.
        for (QPushButton* b : dlg.findChildren<QPushButton*>())
            if (b->text() == "&Help")
                QTest::mouseClick(b, Qt::LeftButton);
        auto* help = dlg.findChild<CHelpWindow*>();
        QVERIFY(help && help->isVisible());
        QCOMPARE(help->currentTopic(), QString("main"));
        dlg.ShowHelp("nosuch");
        QCOMPARE(prompt.told.last(), QString("Failed to find information in the help file on nosuch"));
        QCOMPARE(prompt.told.size(), 1);
    }

    // The real service from installed to running and back, with the service
    // button, the start/stop and delete commands on the way.
    void serviceAndServerCommands() {
        reg::IStore& s = app_->store();
        const int port = FreePort();
        SetString(s, Key("Live"), "Address", "127.0.0.1");
        SetDword(s, Key("Live"), "Port", static_cast<uint32_t>(port));
        // An address of no local interface: the instance cannot start.
        SetString(s, Key("Broken"), "Address", "192.0.2.1");
        const int brokenPort = FreePort();
        SetDword(s, Key("Broken"), "Port", static_cast<uint32_t>(brokenPort));
        SetDword(s, Key("Off"), "Enabled", 0);
        SetString(s, Key("Live") + "\\Users\\bob", "Home", *dir_ / "");
        {
            const std::string cmd = std::string("\"") + std::getenv("ORVYN_BIN") + "/orvyn-reg\" --store \"" +
                                    Store() + "\" passwd Live bob >/dev/null";
            FILE* p = ::popen(cmd.c_str(), "w");
            QVERIFY(p);
            std::fputs("secret\n", p);
            QCOMPARE(::pclose(p), 0);
        }
        SetString(s, Key("Off") + "\\Users\\bob", "Comment", "x");
        FakePrompt prompt;

        QCOMPARE(Orvyn("-installq"), 0);
        QVERIFY(app_->OpenService());
        CMainDlg dlg(*app_, nullptr, &prompt);
        QCOMPARE(dlg.lastServiceState(), uint32_t(1));
        QCOMPARE(dlg.serviceButton()->text(), QString("Start &Service"));
        QVERIFY(dlg.serviceButton()->isEnabled());
        // Each Alt+letter of the window reaches one menu or button.
        QStringList keys;
        auto mnemonic = [](const QString& text) {
            const qsizetype at = text.indexOf('&');
            return at >= 0 && at + 1 < text.size() ? text.at(at + 1).toUpper() : QChar();
        };
        for (const QMenu* menu : dlg.findChildren<QMenu*>())
            keys << mnemonic(menu->title());
        for (const QPushButton* button : dlg.findChildren<QPushButton*>())
            keys << mnemonic(button->text());
        keys.removeAll(QString(QChar()));
        QCOMPARE(keys.removeDuplicates(), 0);

        QTest::mouseClick(dlg.serviceButton(), Qt::LeftButton);
        QVERIFY(WaitForState(dlg, 4));
        QCOMPARE(dlg.serviceButton()->text(), QString("Stop &Service"));
        QVERIFY(dlg.serviceButton()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(Listening(port), 10000);
        QTRY_VERIFY_WITH_TIMEOUT((dlg.setRefresh(), dlg.Idle(), Rows(dlg).value(0).endsWith("|Fatal Error")), 10000);
        QCOMPARE(Rows(dlg), QStringList({"Broken|192.0.2.1|" + QString::number(brokenPort) + "|Fatal Error",
                                         "Live|127.0.0.1|" + QString::number(port) + "|Running", "Off|0.0.0.0|ftp|Stopped"}));

        // A running instance can be neither deleted nor renamed.
        dlg.SelectServerRow("Live");
        QCOMPARE(dlg.connectionCaption(), QString("Waiting for response from server"));
        QTRY_COMPARE_WITH_TIMEOUT(dlg.connectionCaption(), QString("Current connections at Live"), 10000);

        // Real sessions show up; disconnect and disable reach the server.
        QTcpSocket anonymous, bob;
        for (QTcpSocket* c : {&anonymous, &bob}) {
            c->connectToHost("127.0.0.1", static_cast<quint16>(port));
            QVERIFY(c->waitForConnected(5000));
            QTRY_VERIFY_WITH_TIMEOUT(c->bytesAvailable() > 0 || (c->waitForReadyRead(50), false), 10000);
            c->readAll();
        }
        bob.write("USER bob\r\nPASS secret\r\n");
        QByteArray login;
        QTRY_VERIFY2_WITH_TIMEOUT((login += bob.readAll()).contains("230") || (bob.waitForReadyRead(50), false),
                                  login.constData(), 10000);
        // The monitor's own session, the anonymous one and bob's.
        QTRY_COMPARE_WITH_TIMEOUT(dlg.connectionList()->topLevelItemCount(), 3, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.connectionList()->findItems("bob", Qt::MatchExactly, 0).isEmpty(), 10000);
        SelectConnections(dlg, {"bob"});
        dlg.Idle();
        QVERIFY(dlg.command("Dis&able user")->isEnabled());
        dlg.command("Dis&able user")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(bob.state() == QAbstractSocket::UnconnectedState || (bob.waitForReadyRead(50), false),
                                 10000);
        QCOMPARE(CServerRegistry(s, "Live", nullptr).ReadInt("Users\\bob", "Disabled", 0), 1L);
        QTRY_COMPARE_WITH_TIMEOUT(dlg.connectionList()->topLevelItemCount(), 2, 10000);
        const QString anonymousPeer = "127.0.0.1:" + QString::number(anonymous.localPort());
        QTreeWidgetItem* row = dlg.connectionList()->findItems(anonymousPeer, Qt::MatchExactly, 2).value(0);
        QVERIFY(row);
        dlg.connectionList()->clearSelection();
        row->setSelected(true);
        dlg.command("Dis&connect user")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(
            anonymous.state() == QAbstractSocket::UnconnectedState || (anonymous.waitForReadyRead(50), false), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(dlg.connectionList()->topLevelItemCount(), 1, 10000);

        dlg.Idle();
        QVERIFY(!dlg.command("&Rename Server...")->isEnabled());
        QVERIFY(!dlg.command("&Delete Server...")->isEnabled());
        QVERIFY(dlg.command("&Stop Server")->isEnabled());
        QVERIFY(!dlg.command("&Start Server")->isEnabled());
        dlg.OnDeleteServer();
        QCOMPARE(prompt.told.value(0), QString("Unable to delete a running server:\nStop the server first."));
        QVERIFY(s.KeyExists(Key("Live")).ok());

        // Stop and start the instance: Enabled is written and the service
        // follows at once.
        CServerRegistry live(s, "Live", nullptr);
        dlg.command("&Stop Server")->trigger();
        reg::Value enabled;
        QVERIFY(s.QueryValue(Key("Live"), "Enabled", enabled).ok());
        QCOMPARE(enabled.type, uint32_t(reg::REG_DWORD));
        QCOMPARE(live.ReadInt(nullptr, "Enabled", 1), 0L);
        QCOMPARE(dlg.serverList()->selectedItems().value(0)->text(5), QString("Stopped"));
        QTRY_VERIFY_WITH_TIMEOUT(!Listening(port), 10000);
        dlg.Idle();
        QVERIFY(dlg.command("&Start Server")->isEnabled());
        QVERIFY(dlg.command("&Delete Server...")->isEnabled());
        dlg.command("&Start Server")->trigger();
        QCOMPARE(live.ReadInt(nullptr, "Enabled", 0), 1L);
        QCOMPARE(dlg.serverList()->selectedItems().value(0)->text(5), QString("Running"));
        QTRY_VERIFY_WITH_TIMEOUT(Listening(port), 10000);

        // Stopping the service asks first; No sends nothing.
        prompt.answers = {false, true};
        QTest::mouseClick(dlg.serviceButton(), Qt::LeftButton);
        QCOMPARE(prompt.asked.value(0), QString("Are you sure you want to stop the ORVYN Pro service and all servers?"));
        dlg.WatchService();
        dlg.Idle();
        QCOMPARE(dlg.lastServiceState(), uint32_t(4));
        QVERIFY(dlg.serviceButton()->isEnabled());
        QTest::mouseClick(dlg.serviceButton(), Qt::LeftButton);
        QVERIFY(WaitForState(dlg, 1));
        QCOMPARE(dlg.serviceButton()->text(), QString("Start &Service"));
        QVERIFY(!Listening(port));

        // Delete: Cancel keeps the server, OK removes it with its subkeys.
        dlg.SelectServerRow("Off");
        prompt.answers = {false, true};
        dlg.OnDeleteServer();
        QVERIFY(s.KeyExists(Key("Off")).ok());
        dlg.OnDeleteServer();
        QVERIFY(prompt.asked.last().startsWith("Warning - you are about to delete a server.\n"));
        QCOMPARE(s.KeyExists(Key("Off")).code, long(reg::kNotFound));
        QCOMPARE(s.KeyExists(Key("Off") + "\\Users\\bob").code, long(reg::kNotFound));
        dlg.Idle();
        QCOMPARE(dlg.serverList()->topLevelItemCount(), 2);
    }

    // Another computer through the remote shell: its servers, its service
    // and its folders; a name the shell cannot reach leads back here.
    void anotherComputer() {
        const std::string far = *dir_ / "far";
        std::filesystem::create_directories(far + "/run");
        std::filesystem::create_directories(far + "/data/inbox");
        const std::string shell = *dir_ / "remote-shell";
        {
            std::ofstream script(shell);
            script << "#!/bin/sh\n[ \"$1\" = far ] || { echo \"unknown host $1\" >&2; exit 255; }\nshift\n"
                   << "ORVYN_REGISTRY='" << far << "/registry.db' ORVYN_RUNDIR='" << far << "/run' PATH='"
                   << std::getenv("ORVYN_BIN") << "':\"$PATH\" exec \"$@\"\n";
        }
        std::filesystem::permissions(shell, std::filesystem::perms::owner_all);
        ::setenv("ORVYN_REMOTE_SHELL", shell.c_str(), 1);
        const int port = FreePort();
        {
            reg::Store there(far + "/registry.db");
            SetString(there, Key("There"), "Address", "127.0.0.1");
            SetDword(there, Key("There"), "Port", static_cast<uint32_t>(port));
            const std::string install = "ORVYN_REGISTRY='" + far + "/registry.db' ORVYN_RUNDIR='" + far +
                                        "/run' \"" + std::getenv("ORVYN_BIN") + "/orvyn\" -installq >/dev/null 2>&1";
            QCOMPARE(std::system(install.c_str()), 0);
        }
        QVERIFY(app_->store().CreateKey(Key("Here")).ok());
        FakePrompt prompt;
        CMainDlg dlg(*app_, nullptr, &prompt);
        QCOMPARE(Rows(dlg), QStringList({"Here|0.0.0.0|ftp|Paused"}));

        dlg.ConnectTo("far");
        dlg.Idle();
        QCOMPARE(dlg.systemLabel(), QString("Monitoring system 'far' (remote computer):"));
        QCOMPARE(Rows(dlg), QStringList({"There|127.0.0.1|" + QString::number(port) + "|Paused"}));
        QCOMPARE(dlg.serviceButton()->text(), QString("Start &Service"));
        QTest::mouseClick(dlg.serviceButton(), Qt::LeftButton);
        QVERIFY(WaitForState(dlg, 4));
        QTRY_VERIFY_WITH_TIMEOUT(Listening(port), 10000);
        dlg.SelectServerRow("There");
        QCOMPARE(dlg.connectionCaption(), QString("Unable to view remote server \"There\""));
        dlg.OnStartStopServer();
        QTRY_VERIFY_WITH_TIMEOUT(!Listening(port), 10000);
        QCOMPARE(CServerRegistry(app_->store(), "There", nullptr).ReadInt(nullptr, "Enabled", 1), 0L);
        QVERIFY(RenameServer(app_->store(), "There", "Yonder").ok());
        QCOMPARE(CServerRegistry(app_->store(), "Yonder", nullptr).ReadInt(nullptr, "Port", 0), long(port));
        std::vector<std::string> folders;
        QCOMPARE(app_->files().ListFolders(far + "/data", folders), 0);
        QCOMPARE(folders, std::vector<std::string>({"inbox"}));
        std::vector<std::string> remoteAccounts, localAccounts;
        QCOMPARE(app_->files().ListAccounts(remoteAccounts), 0);
        LocalComputerFiles().ListAccounts(localAccounts);
        QCOMPARE(remoteAccounts, localAccounts);
        QVERIFY(app_->files().AccountExists("root"));
        QVERIFY(!app_->files().AccountExists("no-such-account-here"));
        prompt.answers = {true};
        QTest::mouseClick(dlg.serviceButton(), Qt::LeftButton);
        QVERIFY(WaitForState(dlg, 1));

        // The other side ends: said once, and the applet is back here.
        KillOwnChildren("orvyn-reg");
        app_->service().QueryState();  // the applet's next look at the service
        // Not while a dialog is open, which may hold that computer's objects.
        QDialog open(&dlg);
        QTimer::singleShot(0, &open, [&] {
            dlg.Idle();
            QCOMPARE(app_->remoteComputer(), std::string("far"));
            open.reject();
        });
        open.exec();
        dlg.Idle();
        QCOMPARE(prompt.told.size(), 1);
        QVERIFY(prompt.told[0].startsWith("The connection to far failed: "));
        QVERIFY(prompt.told[0].endsWith("\nReturning to the local computer."));
        QVERIFY(dlg.systemLabel().endsWith("' (local computer):"));
        prompt.told.clear();

        dlg.ConnectTo("nowhere");
        dlg.Idle();
        QCOMPARE(prompt.told, QStringList({"Sorry - we were unable to connect to a remote machine of that name.\nNote "
                                           "that you need to have sufficient privileges on that remote machine to "
                                           "access its registry, and to monitor, start and stop its services.",
                                           "Unable to connect to remote system - returning to local."}));
        QVERIFY(dlg.systemLabel().endsWith("' (local computer):"));
        QVERIFY(app_->remoteComputer().empty());
        QCOMPARE(Rows(dlg), QStringList({"Here|0.0.0.0|ftp|Paused"}));
    }

    // Narrowing the window takes width from the connections frame, never
    // from the servers frame, whose width comes back on the next opening.
    void narrowingKeepsTheServersFrame() {
        FakePrompt prompt;
        int split = 0;
        {
            CMainDlg dlg(*app_, nullptr, &prompt);
            dlg.show();
            QApplication::processEvents();
            split = dlg.findChild<QSplitter*>()->sizes().value(0);
            dlg.resize(300, 420);
            QApplication::processEvents();
            QCOMPARE(dlg.findChild<QSplitter*>()->sizes().value(0), split);
            QVERIFY(dlg.width() >= split + 200);
        }
        {
            CMainDlg again(*app_, nullptr, &prompt);
            again.show();
            QApplication::processEvents();
            QCOMPARE(again.findChild<QSplitter*>()->sizes().value(0), split);
        }
        // Sizes stored out of all proportion open a window that fits the
        // screen (the split used to make the window too wide to paint).
        SetDword(app_->store(), kProductKey, "MainDlgWidth", 0x7fffffff);
        SetDword(app_->store(), kProductKey, "MainDlgSplit", 100000000);
        CMainDlg huge(*app_, nullptr, &prompt);
        huge.show();
        QApplication::processEvents();
        const int screenWidth = std::max(huge.screen()->availableGeometry().width(), 900);
        QVERIFY(huge.width() <= screenWidth);
        QVERIFY(huge.findChild<QSplitter*>()->sizes().value(0) <= screenWidth - 200);
        QVERIFY(huge.minimumWidth() <= screenWidth + 100);
    }

    // Help asked for by a modal dialog takes input while that dialog is open.
    void helpOfAModalDialogTakesInput() {
        FakePrompt prompt;
        CMainDlg dlg(*app_, nullptr, &prompt);
        dlg.show();
        int scrolled = -1;
        QTimer::singleShot(0, &dlg, [&] {
            auto* asking = qobject_cast<CConnectDialog*>(QApplication::activeModalWidget());
            QVERIFY(asking);
            asking->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Help)->click();
            auto* help = asking->findChild<CHelpWindow*>();
            QVERIFY(help && help->isVisible());
            help->resize(300, 150);
            QApplication::processEvents();
            QScrollBar* bar = help->findChild<QTextBrowser*>()->verticalScrollBar();
            bar->setValue(0);
            QTest::keyClick(help->windowHandle(), Qt::Key_PageDown);
            QApplication::processEvents();
            scrolled = bar->value();
            asking->reject();
        });
        dlg.OnConnectButton();
        QVERIFY(scrolled > 0);
    }

    // SortColumn and the column order survive closing and reopening.
    void columnLayoutAndSortAcrossReopenings() {
        reg::IStore& s = app_->store();
        SetDword(s, Key("A"), "Enabled", 0);
        SetDword(s, Key("B"), "Started", 0);
        QVERIFY(s.CreateKey(Key("C")).ok());
        const std::string columns = std::string(kProductKey) + "\\ServerListColumns";
        SetString(s, columns, "SortColumn", "-Status");
        {
            CMainDlg dlg(*app_);
            QCOMPARE(dlg.serverSortState(), -6);
            // Keys by status: A 0 (disabled), C 1, B 3 (failed); descending.
            QCOMPARE(dlg.serverList()->topLevelItem(0)->text(0), QString("B"));
            QCOMPARE(dlg.serverList()->topLevelItem(2)->text(0), QString("A"));
            QHeaderView* header = dlg.serverList()->header();
            header->moveSection(header->visualIndex(3), 1);  // "Port" in front of "Address"
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
            QCOMPARE(dlg.serverSortState(), 1);
        }
        reg::Value sort;
        QVERIFY(s.QueryValue(columns, "SortColumn", sort).ok());
        QCOMPARE(QString::fromUtf8(reinterpret_cast<const char*>(sort.data.data())), QString("+Name"));
        {
            CMainDlg dlg(*app_);
            QHeaderView* header = dlg.serverList()->header();
            QCOMPARE(header->logicalIndex(1), 3);
            QCOMPARE(header->logicalIndex(2), 1);
            QCOMPARE(dlg.serverList()->topLevelItem(0)->text(0), QString("A"));
        }
        SetString(s, columns, "SortColumn", "+Nothing");
        CMainDlg dlg(*app_);
        QCOMPARE(dlg.serverSortState(), 0);
    }

    // The conversation against a scripted server: greeting, SITE ADMN, the
    // 300 lines, a line over the bound, and what the commands send.
    void monitorAgainstScriptedServer() {
        app_.reset();
        app_ = std::make_unique<COrvynCplApp>(Store(), std::make_unique<RunningService>());
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::AnyIPv4, 0));
        reg::IStore& s = app_->store();
        SetString(s, Key("Fake"), "Address", "0.0.0.0");
        SetDword(s, Key("Fake"), "Port", server.serverPort());
        // Rows show user names with blanks made "_": "bob_smith" stands for
        // "bob smith", which no DISA line can name.
        QVERIFY(s.CreateKey(Key("Fake") + "\\Users\\Alice").ok());
        QVERIFY(s.CreateKey(Key("Fake") + "\\Users\\bob smith").ok());
        FakePrompt prompt;
        CMainDlg dlg(*app_, nullptr, &prompt);
        dlg.SelectServerRow("Fake");
        QVERIFY(server.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
        QCOMPARE(peer->localAddress().toString(), QString("127.125.126.127"));
        QByteArray got;
        auto receive = [&] {
            peer->waitForReadyRead(20);
            got += peer->readAll();
            return got;
        };
        peer->write("220-Welcome\r\n220-to the fake\r\n");
        QTest::qWait(100);
        QCOMPARE(receive(), QByteArray());
        peer->write("220 ready\r\n300-MODI alice 12 10.0.0.5:4000 Success RETR big file.zip\r\n"
                    "300 MODI  7 10.0.0.6:4001 Success USER\r\n");
        QTRY_COMPARE(dlg.connectionList()->topLevelItemCount(), 2);
        QTRY_COMPARE(receive(), QByteArray("SITE ADMN\r\n"));
        QCOMPARE(dlg.connectionCaption(), QString("Current connections at Fake"));
        QTreeWidgetItem* alice = ConnectionRow(dlg, "12");
        QVERIFY(alice);
        QCOMPARE(QStringList({alice->text(0), alice->text(2), alice->text(3), alice->text(4)}),
                 QStringList({"alice", "10.0.0.5:4000", "RETR big file.zip", "Success"}));

        got.clear();
        peer->write("300 TIME\r\n200 User disconnected.\r\n300 MODI alice 12 10.0.0.5:4000 Success STOR x\r\n");
        QTRY_COMPARE(ConnectionRow(dlg, "12")->text(3), QString("STOR x"));
        QTRY_COMPARE(receive(), QByteArray("NOOP\r\n"));
        QCOMPARE(dlg.connectionList()->topLevelItemCount(), 2);

        // A line over the bound is dropped without stalling what follows.
        peer->write("300 MODI " + QByteArray(70000, 'x') + "\r\n300 MODI bob_smith 9 1.2.3.4:5 Success LIST\r\n");
        QTRY_VERIFY(ConnectionRow(dlg, "9"));
        QCOMPARE(dlg.connectionList()->topLevelItemCount(), 3);

        // Disable sends the accounts of the selected rows, none for an empty
        // name, and refuses a name it cannot send; disconnect sends the ids.
        SelectConnections(dlg, {"alice", "", "bob_smith"});
        dlg.Idle();
        got.clear();
        dlg.command("Dis&able user")->trigger();
        dlg.command("Dis&connect user")->trigger();
        QTRY_COMPARE(receive().count('\n'), 4);
        QStringList lines = QString::fromLatin1(got).split("\r\n", Qt::SkipEmptyParts);
        QCOMPARE(lines.mid(0, 1), QStringList({"SITE ADMN DISA Alice"}));
        QCOMPARE(prompt.told.size(), 1);
        QVERIFY(prompt.told.value(0).startsWith("Unable to disable user bob_smith from here"));
        lines = lines.mid(1);
        lines.sort();
        QCOMPARE(lines, QStringList({"SITE ADMN DISC 12", "SITE ADMN DISC 7", "SITE ADMN DISC 9"}));

        peer->write("300 DELE 12\r\n");
        QTRY_COMPARE(dlg.connectionList()->topLevelItemCount(), 2);
        QVERIFY(!ConnectionRow(dlg, "12"));
        peer->close();
        QTRY_COMPARE(dlg.connectionCaption(), QString("Connection closed by server"));
        QCOMPARE(dlg.connectionList()->topLevelItemCount(), 2);
    }

    // An IPv6 address written in brackets, as the service takes it; "[::]"
    // is reached on the loopback address.
    void monitorReachesBracketedIpv6Address() {
        app_.reset();
        app_ = std::make_unique<COrvynCplApp>(Store(), std::make_unique<RunningService>());
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHostIPv6, 0)) QSKIP("no IPv6 loopback here");
        reg::IStore& s = app_->store();
        SetDword(s, Key("Six"), "Port", server.serverPort());
        for (const char* text : {"[::1]", "[::]"}) {
            SetString(s, Key("Six"), "Address", text);
            CMainDlg dlg(*app_);
            dlg.SelectServerRow("Six");
            QVERIFY2(server.waitForNewConnection(5000), text);
            std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
            QCOMPARE(dlg.connectionCaption(), QString("Waiting for response from server"));
        }
    }

    // The exported entry: the panel's answers and the modal dialog.
    void appletEntry() {
        const std::string file = std::string(std::getenv("ORVYN_BIN")) + "/ORVYN.CPL";
        void* lib = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(lib, dlerror());
        auto entry = reinterpret_cast<CplAppletFn>(dlsym(lib, "CPlApplet"));
        QVERIFY(entry);
        QCOMPARE(entry(nullptr, CPL_INIT, 0, 0), 1L);
        QCOMPARE(entry(nullptr, CPL_GETCOUNT, 0, 0), 1L);
        QCOMPARE(entry(nullptr, 42, 0, 0), 1L);
        NEWCPLINFO info{};
        QCOMPARE(entry(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<intptr_t>(&info)), 0L);
        QCOMPARE(info.dwSize, 244u);
        QCOMPARE(info.dwHelpContext, 131202u);
        QCOMPARE(QString(info.szName), QString("ORVYN FTP Server"));
        QCOMPARE(QString(info.szInfo), QString("Allows you to configure, start and stop FTP service"));

        QString title;
        QTimer::singleShot(0, [&title] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal) {
                title = modal->windowTitle();
                modal->close();
            }
        });
        QCOMPARE(entry(nullptr, CPL_DBLCLK, 0, 0), 0L);
        QVERIFY(title.startsWith("ORVYN Pro ") && title.endsWith(" Main Control"));
        QCOMPARE(entry(nullptr, CPL_EXIT, 0, 0), 0L);
    }
};

QTEST_MAIN(MainDialogTest)
#include "main_dialog_test.moc"
