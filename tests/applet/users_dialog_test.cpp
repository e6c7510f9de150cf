// The users and rights editor driven offscreen against a temporary store, a
// made-up folder tree and, for the login, a real `orvyn s`.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "applet/CplApp.h"
#include "applet/NewUserDlg.h"
#include "applet/SetPassDlg.h"
#include "applet/UsersDlg.h"
#include "applet/users/UserRights.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/applet/AppletTestSupport.h"
#include "tests/support/TempDir.h"

using namespace orvyn;
using namespace orvyn::applet;
using orvyn::test::FakePrompt;
using orvyn::test::FreePort;

namespace {


// A made-up computer. Listing "/big" waits until the test opens the gate.
class FakeFiles : public LocalComputerFiles {
public:
    std::map<std::string, std::vector<std::string>> folders;
    std::mutex mutex;
    std::condition_variable changed;
    bool bigEntered = false, bigOpen = false;

    int ListFolders(const std::string& path, std::vector<std::string>& names) override {
        if (path == "/big") {
            std::unique_lock lock(mutex);
            bigEntered = true;
            changed.notify_all();
            changed.wait(lock, [this] { return bigOpen; });
        }
        auto it = folders.find(path);
        if (it == folders.end())
            return ENOENT;
        names = it->second;
        return 0;
    }
    int ListCertificates(long, std::vector<CertificateInfo>&) override { return 0; }
    std::string CheckCertificate(long, const std::string&) override { return {}; }
};

// Fills and accepts the next modal dialog of type D as soon as it shows.
template <class D>
void WhenShown(std::function<void(D*)> fill) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, fill] {
        if (auto* dlg = qobject_cast<D*>(QApplication::activeModalWidget())) {
            timer->deleteLater();
            timer->stop();
            fill(dlg);
        }
    });
    timer->start(10);
}

void EnterPassword(const QString& password) {
    WhenShown<CSetPassDlg>([password](CSetPassDlg* d) {
        d->findChild<QLineEdit*>("EnterPassword")->setText(password);
        d->findChild<QLineEdit*>("VerifyPassword")->setText(password);
        d->accept();
    });
}

QStringList Names(QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

std::string Users(const char* server) { return std::string(kServersKey) + "\\" + server + "\\Users"; }

}  // namespace

class UsersDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDir> dir_;
    std::unique_ptr<COrvynCplApp> app_;
    FakeFiles* files_ = nullptr;  // owned by app_

    reg::IStore& store() { return app_->store(); }
    QString Text(const std::string& key, const char* name) {
        reg::Value v;
        if (!store().QueryValue(key, name, v).ok())
            return "<none>";
        if (v.type == reg::REG_DWORD)
            return QString::number(v.data[0]);
        return QString::fromUtf8(reinterpret_cast<const char*>(v.data.data()));
    }
    void Put(const std::string& key, const char* name, const std::string& text) {
        const auto d = reg::StringData(text);
        QVERIFY(store().SetValue(key, name, reg::REG_SZ, d.data(), d.size()).ok());
    }
    template <class T>
    T* Child(QObject& dlg, const char* name) {
        T* w = dlg.findChild<T*>(name);
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    // The rights boxes as "inherit|R L C O|none", upper case when ticked and
    // "-" for a disabled right box.
    QString Boxes(CUsersDlg& dlg) {
        QString out = Child<QCheckBox>(dlg, "Inherit")->isChecked() ? "inherit|" : "own|";
        for (auto [name, letter] : {std::pair{"Read", 'r'}, {"List", 'l'}, {"Create", 'c'}, {"Overwrite", 'o'}}) {
            auto* b = Child<QCheckBox>(dlg, name);
            out += b->isEnabled() ? QChar(b->isChecked() ? QChar(letter).toUpper() : QChar(letter))
                                  : QChar(b->isChecked() ? QChar(letter).toUpper() : '-');
        }
        return out + (Child<QCheckBox>(dlg, "NoAccess")->isChecked() ? "|none" : "");
    }

private slots:
    void init() {
        dir_ = std::make_unique<test::TempDir>("users-test");
        ::setenv("ORVYN_REGISTRY", (*dir_ / "registry.db").c_str(), 1);
        ::setenv("ORVYN_RUNDIR", (*dir_ / "run").c_str(), 1);
        ::setenv("ORVYN_CERTDIR", (*dir_ / "certs").c_str(), 1);
        ::setenv("ORVYN_EVENTLOG_FILE", (*dir_ / "events.log").c_str(), 1);
        auto files = std::make_unique<FakeFiles>();
        files_ = files.get();
        files_->folders = {{"/", {"big", "srv"}},
                           {"/srv", {"ftp"}},
                           {"/srv/ftp", {".hidden", "Private", "private", "pub"}},
                           {"/srv/ftp/pub", {"incoming"}},
                           {"/srv/ftp/pub/incoming", {}}};
        app_ = std::make_unique<COrvynCplApp>(ManagedComputer{
            "", std::make_unique<reg::Store>(*dir_ / "registry.db"), std::make_unique<RunningService>(), std::move(files), {}});
    }

    void cleanup() {
        app_.reset();
        dir_.reset();
    }

    // Inherited and own entries, the letters, the fallbacks to "default",
    // the three-state flags and the home, saved per user.
    void rightsEditor() {
        const std::string users = Users("S");
        Put(users + "\\carol\\Rights", "/srv/ftp/", "rw");
        Put(users + "\\carol", "Comment", "x");
        Put(users + "\\default", "Restricted", "1");
        QVERIFY(store().CreateKey(users + "\\bob").ok());
        FakePrompt prompt;
        {
            CUsersDlg dlg(*app_, "S", nullptr, &prompt);
            QCOMPARE(Names(dlg.userList()), QStringList({"anonymous", "bob", "carol", "default"}));

            // No entries anywhere: "default" gives all four.
            dlg.SelectUser("bob");
            dlg.SelectFolder("/srv/ftp/pub");
            QCOMPARE(Boxes(dlg), QString("inherit|RLCO"));
            QCOMPARE(Child<QCheckBox>(dlg, "Restricted")->checkState(), Qt::PartiallyChecked);
            QCOMPARE(Child<QLabel>(dlg, "RestrictedDefault")->text(), QString("(default: on)"));
            QCOMPARE(Child<QLabel>(dlg, "ForceEFSDefault")->text(), QString("(default: off)"));

            // R and W read as R, C, O and cover every folder below.
            dlg.SelectUser("carol");
            QCOMPARE(dlg.FolderNode("/srv/ftp")->text(1), QString("COR"));
            dlg.SelectFolder("/srv/ftp/pub/incoming");
            QCOMPARE(Boxes(dlg), QString("inherit|R-CO"));
            // Above carol's entry: the default user's rights.
            dlg.SelectFolder("/srv");
            QCOMPARE(Boxes(dlg), QString("inherit|RLCO"));

            // An own entry starts as the effective rights; boxes edit it.
            dlg.SelectFolder("/srv/ftp/pub");
            Child<QCheckBox>(dlg, "Inherit")->click();
            QCOMPARE(Boxes(dlg), QString("own|RlCO"));
            Child<QCheckBox>(dlg, "List")->click();
            dlg.SelectFolder("/srv/ftp/pub/incoming");
            QCOMPARE(Boxes(dlg), QString("inherit|RLCO"));
            dlg.SelectFolder("/srv/ftp/private");
            Child<QCheckBox>(dlg, "Inherit")->click();
            Child<QCheckBox>(dlg, "NoAccess")->click();
            QCOMPARE(Boxes(dlg), QString("own|rlco|none"));
            QCOMPARE(dlg.FolderNode("/srv/ftp/private")->text(1), QString("No Access"));
            // A folder whose name differs only in case cannot have an entry
            // beside it: the store would keep one of the two.
            dlg.SelectFolder("/srv/ftp/Private");
            Child<QCheckBox>(dlg, "Inherit")->click();
            QCOMPARE(Boxes(dlg), QString("inherit|R-CO"));
            QCOMPARE(prompt.told.size(), 1);
            prompt.told.clear();

            // Three states: default, on; then remote administration turns
            // the restriction off.
            auto* restricted = Child<QCheckBox>(dlg, "Restricted");
            restricted->click();
            QCOMPARE(restricted->checkState(), Qt::Checked);
            Child<QCheckBox>(dlg, "RemoteAdmin")->click();
            QCOMPARE(restricted->checkState(), Qt::Unchecked);

            dlg.SelectFolder("/srv/ftp/pub");
            dlg.command("Set Home Directory")->trigger();
            QCOMPARE(dlg.homeNode(), dlg.FolderNode("/srv/ftp/pub"));
            QVERIFY(dlg.homeNode()->font(0).bold());

            // Choosing another user saves carol; Cancel keeps that.
            dlg.SelectUser("anonymous");
            QCOMPARE(restricted->checkState(), Qt::Checked);
            QVERIFY(!Child<QCheckBox>(dlg, "RemoteAdmin")->isEnabled());
            QVERIFY(!dlg.homeNode());
            QCOMPARE(dlg.FolderNode("/srv/ftp")->text(1), QString());
            dlg.reject();
        }
        const std::string carol = users + "\\carol";
        std::vector<reg::Value> rights;
        QVERIFY(store().EnumValues(carol + "\\Rights", rights).ok());
        QStringList entries;
        for (const reg::Value& v : rights)
            entries << QString::fromStdString(v.name) + "=" +
                           QString::fromUtf8(reinterpret_cast<const char*>(v.data.data()));
        entries.sort();
        // The entry left as it was keeps its stored letters.
        QCOMPARE(entries, QStringList({"/srv/ftp/=rw", "/srv/ftp/private/=", "/srv/ftp/pub/=CLOR"}));
        QCOMPARE(Text(carol, "Home"), QString("/srv/ftp/pub"));
        QCOMPARE(Text(carol, "Restricted"), QString("0"));
        QCOMPARE(Text(carol, "RemoteAdmin"), QString("1"));
        QCOMPARE(Text(carol, "ForceEFS"), QString("<none>"));
        QCOMPARE(Text(carol, "Comment"), QString("x"));
        // Only the user shown when cancelling is not saved.
        QCOMPARE(store().KeyExists(users + "\\anonymous").code, long(reg::kNotFound));

        CUsersDlg dlg(*app_, "S", nullptr, &prompt);
        dlg.SelectUser("carol");
        QCOMPARE(dlg.homeNode(), dlg.FolderNode("/srv/ftp/pub"));
        dlg.command("Go to home directory")->trigger();
        QCOMPARE(dlg.folderTree()->currentItem(), dlg.homeNode());
        Child<QCheckBox>(dlg, "Inherit")->click();
        dlg.command("Revert to default home.")->trigger();
        QVERIFY(!dlg.homeNode());
        auto* restricted = Child<QCheckBox>(dlg, "Restricted");
        restricted->click();
        QCOMPARE(restricted->checkState(), Qt::PartiallyChecked);
        dlg.SelectFolder("/");
        dlg.command("Set Home Directory")->trigger();
        dlg.SelectFolder("*");
        QVERIFY(!dlg.command("Set Home Directory")->isEnabled());
        dlg.accept();
        QCOMPARE(Text(carol, "Home"), QString("/"));
        QCOMPARE(Text(carol, "Restricted"), QString("<none>"));
        QCOMPARE(Text(carol + "\\Rights", "/srv/ftp/pub/"), QString("<none>"));
        QVERIFY(prompt.told.isEmpty());

        // "default" itself: two states, missing reads as off.
        CUsersDlg again(*app_, "S", nullptr, &prompt);
        again.SelectUser("default");
        QVERIFY(!Child<QCheckBox>(again, "ForceEFS")->isTristate());
        QCOMPARE(Child<QCheckBox>(again, "ForceEFS")->checkState(), Qt::Unchecked);
        // The pseudo-users cannot be deleted; others after a Yes.
        again.OnDeleteUser();
        QVERIFY(prompt.told.value(0).startsWith("Cannot delete the \"anonymous\" user"));
        again.SelectUser("bob");
        prompt.answers = {false, true};
        again.OnDeleteUser();
        QVERIFY(store().KeyExists(users + "\\bob").ok());
        again.OnDeleteUser();
        QCOMPARE(store().KeyExists(users + "\\bob").code, long(reg::kNotFound));
        QCOMPARE(Names(again.userList()), QStringList({"anonymous", "carol", "default"}));
        QCOMPARE(again.currentUser(), QString("carol"));
    }

    // A home stored as expandable text stays expandable through OK.
    void expandableHomeIsKept() {
        const std::string eve = Users("S") + "\\eve";
        const auto d = reg::StringData("%FTPROOT%/eve");
        QVERIFY(store().SetValue(eve, "Home", reg::REG_EXPAND_SZ, d.data(), d.size()).ok());
        FakePrompt prompt;
        CUsersDlg dlg(*app_, "S", nullptr, &prompt);
        dlg.SelectUser("eve");
        dlg.accept();
        reg::Value v;
        QVERIFY(store().QueryValue(eve, "Home", v).ok());
        QCOMPARE(v.type, uint32_t(reg::REG_EXPAND_SZ));
        QCOMPARE(Text(eve, "Home"), QString("%FTPROOT%/eve"));
    }

    // Every command is reached with Tab, each toolbar before its list, and
    // Space presses it.
    void commandsByKeyboard() {
        const auto home = reg::StringData("/");
        QVERIFY(store().SetValue(Users("S") + "\\eve", "Home", reg::REG_SZ, home.data(), home.size()).ok());
        FakePrompt prompt;
        CUsersDlg dlg(*app_, "S", nullptr, &prompt);
        dlg.SelectUser("eve");
        dlg.SelectFolder("/");
        dlg.show();
        dlg.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QWidget* w = dlg.findChild<QComboBox*>("Servers");
        w->setFocus();
        QStringList chain;
        for (int i = 0; i < 11; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            w = QApplication::focusWidget();
            auto* button = qobject_cast<QToolButton*>(w);
            chain << (button ? button->defaultAction()->toolTip() : w->objectName());
        }
        QCOMPARE(chain, QStringList({"New User...", "Delete User", "Set Password...", "Disable User", "Users",
                                     "Add Share...", "Set Home Directory", "Go to home directory",
                                     "Revert to default home.", "Folders", "Inherit"}));
        bool asked = false;
        WhenShown<CNewUserDlg>([&asked](CNewUserDlg* d) {
            asked = true;
            d->reject();
        });
        for (int i = 0; i < 10; ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(qobject_cast<QToolButton*>(QApplication::focusWidget())->defaultAction(), dlg.command("New User..."));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QVERIFY(asked);
    }

    // As the service reads them: a Home that is not REG_SZ is no home (kept
    // as stored until the home is set or reverted), and "ftp" is anonymous
    // (restricted unless stored otherwise, never a remote administrator).
    void homeAndAnonymousAsTheServiceReadsThem() {
        const std::string users = Users("S");
        const std::string eve = users + "\\eve", ftp = users + "\\ftp";
        const auto home = reg::StringData("/srv/ftp/pub");
        QVERIFY(store().SetValue(eve, "Home", reg::REG_EXPAND_SZ, home.data(), home.size()).ok());
        const auto one = reg::DwordData(1);
        QVERIFY(store().SetValue(ftp, "RemoteAdmin", reg::REG_DWORD, one.data(), one.size()).ok());
        // Stored as the editor would not write them, but read by the service:
        // anonymous disabled (by SITE), letters that are no text (no rights),
        // two spellings of one folder (the longer counts), an unnamed entry.
        QVERIFY(store().SetValue(users + "\\anonymous", "Disabled", reg::REG_DWORD, one.data(), one.size()).ok());
        const std::string eveRights = eve + "\\Rights";
        const auto letters = reg::DwordData(0x4c52);
        QVERIFY(store().SetValue(eveRights, "/srv/x/", reg::REG_DWORD, letters.data(), letters.size()).ok());
        Put(eveRights, "/srv/pub", "RWL");
        Put(eveRights, "/srv/pub/", "");
        Put(eveRights, "", "");
        std::vector<reg::Value> storedRights;
        QVERIFY(store().EnumValues(eveRights, storedRights).ok());
        FakePrompt prompt;
        {
            CUsersDlg dlg(*app_, "S", nullptr, &prompt);
            dlg.SelectUser("eve");
            QCOMPARE(dlg.currentUser(), QString("eve"));
            QCOMPARE(dlg.FolderNode("/srv/x")->text(1), QString("No Access"));
            QCOMPARE(dlg.FolderNode("/srv/pub")->text(1), QString("No Access"));
            dlg.SelectUser("anonymous");
            dlg.SelectUser("eve");
            QVERIFY(!dlg.homeNode());
            QVERIFY(!dlg.command("Go to home directory")->isEnabled());
            QVERIFY(dlg.command("Revert to default home.")->isEnabled());
            dlg.SelectUser("ftp");
            QCOMPARE(Child<QCheckBox>(dlg, "Restricted")->checkState(), Qt::Checked);
            QVERIFY(!Child<QCheckBox>(dlg, "RemoteAdmin")->isEnabled());
            QVERIFY(!Child<QCheckBox>(dlg, "RemoteAdmin")->isChecked());
            dlg.accept();
        }
        reg::Value v;
        QVERIFY(store().QueryValue(eve, "Home", v).ok());
        QCOMPARE(v.type, uint32_t(reg::REG_EXPAND_SZ));
        QCOMPARE(Text(eve, "Home"), QString("/srv/ftp/pub"));
        std::vector<reg::Value> rightsAfter;
        QVERIFY(store().EnumValues(eveRights, rightsAfter).ok());
        QCOMPARE(rightsAfter.size(), storedRights.size());
        for (size_t i = 0; i < rightsAfter.size(); ++i) {
            QCOMPARE(rightsAfter[i].name, storedRights[i].name);
            QCOMPARE(rightsAfter[i].type, storedRights[i].type);
            QVERIFY(rightsAfter[i].data == storedRights[i].data);
        }
        QCOMPARE(Text(users + "\\anonymous", "Disabled"), QString("1"));
        QCOMPARE(Text(ftp, "Restricted"), QString("1"));
        QCOMPARE(Text(ftp, "RemoteAdmin"), QString("0"));

        // Reverting removes the stored value; setting a home stores text.
        CUsersDlg dlg(*app_, "S", nullptr, &prompt);
        dlg.SelectUser("eve");
        dlg.command("Revert to default home.")->trigger();
        dlg.SelectUser("anonymous");
        QCOMPARE(Text(eve, "Home"), QString("<none>"));
        QVERIFY(store().SetValue(eve, "Home", reg::REG_EXPAND_SZ, home.data(), home.size()).ok());
        dlg.SelectUser("eve");
        dlg.SelectFolder("/srv/ftp");
        dlg.command("Set Home Directory")->trigger();
        dlg.accept();
        QVERIFY(store().QueryValue(eve, "Home", v).ok());
        QCOMPARE(v.type, uint32_t(reg::REG_SZ));
        QCOMPARE(Text(eve, "Home"), QString("/srv/ftp"));
        QVERIFY(prompt.told.isEmpty());
    }

    // A folder of 100000 entries arrives in batches while the dialog keeps
    // running; hidden folders and nodes already there are not doubled.
    void largeFolder() {
        auto& big = files_->folders["/big"];
        for (int i = 0; i < 100000; ++i)
            big.push_back(QString("n%1").arg(i, 6, 10, QChar('0')).toStdString());
        big.push_back(".cache");
        QVERIFY(store().CreateKey(Users("S")).ok());
        CUsersDlg dlg(*app_, "S");
        dlg.FolderNode("/", false)->setExpanded(true);
        QTRY_VERIFY(dlg.pendingListings() == 0);
        dlg.SelectFolder("/big/n050000");
        QTreeWidgetItem* node = dlg.FolderNode("/big");
        node->setExpanded(true);
        {
            std::unique_lock lock(files_->mutex);
            QVERIFY(files_->changed.wait_for(lock, std::chrono::seconds(10), [this] { return files_->bigEntered; }));
        }
        // The listing is under way and the dialog still answers events.
        bool ticked = false;
        QTimer::singleShot(0, [&ticked] { ticked = true; });
        QTRY_VERIFY(ticked);
        QCOMPARE(node->child(0)->text(0), QString("(listing...)"));
        // The nodes come in batches, with other events handled between them.
        int ticks = 0;
        QList<int> ticksAtBatch;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(0);
        connect(dlg.folderTree()->model(), &QAbstractItemModel::rowsInserted,
                [&](const QModelIndex& parent) {
                    if (parent.data(Qt::UserRole).toString() == "/big")
                        ticksAtBatch << ticks;
                });
        {
            std::lock_guard lock(files_->mutex);
            files_->bigOpen = true;
        }
        files_->changed.notify_all();
        QTRY_VERIFY_WITH_TIMEOUT(dlg.pendingListings() == 0, 30000);
        QVERIFY2(ticksAtBatch.size() > 10, qPrintable(QString::number(ticksAtBatch.size())));
        QVERIFY(ticksAtBatch.last() > ticksAtBatch.first());
        QCOMPARE(node->childCount(), 100000);
        QCOMPARE(node->child(0)->text(0), QString("n000000"));
        QCOMPARE(node->child(50000), dlg.FolderNode("/big/n050000"));
        QCOMPARE(dlg.folderTree()->currentItem(), node->child(50000));
    }

    // A user made in the dialog logs in with its password at a running
    // server.
    void newUserLogsIn() {
        const quint16 port = [] {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            return probe.serverPort();
        }();
        const std::string server = std::string(kServersKey) + "\\Live";
        Put(server, "Address", "127.0.0.1");
        Put(server, "Port", std::to_string(port));
        const std::string home = dir_->mkdir("home");
        FakePrompt prompt;
        {
            CUsersDlg dlg(*app_, "Live", nullptr, &prompt);
            // A name already there is only selected.
            WhenShown<CNewUserDlg>([](CNewUserDlg* d) {
                d->findChild<QLineEdit*>("UserName")->setText("Anonymous");
                d->accept();
            });
            dlg.OnNewUser();
            QCOMPARE(prompt.told.value(0), QString("Cannot add a user that already exists!"));
            QCOMPARE(dlg.currentUser(), QString("anonymous"));
            WhenShown<CNewUserDlg>([](CNewUserDlg* d) {
                d->findChild<QLineEdit*>("UserName")->setText("dave");
                d->accept();
                EnterPassword("a long pass phrase");
            });
            dlg.OnNewUser();
            QCOMPARE(dlg.currentUser(), QString("dave"));
            QCOMPARE(Names(dlg.userList()), QStringList({"anonymous", "dave", "default"}));
            dlg.SelectFolder(QString::fromStdString(home));
            dlg.command("Set Home Directory")->trigger();
            dlg.accept();
        }
        QCOMPARE(Text(Users("Live") + "\\dave", "Home"), QString::fromStdString(home));

        QProcess orvyn;
        orvyn.setProgram(QString(qgetenv("ORVYN_BIN")) + "/orvyn");
        orvyn.setArguments({"s"});
        orvyn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        orvyn.start();
        QVERIFY(orvyn.waitForStarted());
        QTcpSocket client;
        QTRY_VERIFY_WITH_TIMEOUT(
            (client.abort(), client.connectToHost("127.0.0.1", port), client.waitForConnected(200)), 10000);
        QByteArray got;
        auto until = [&](const char* code) {
            QTRY_VERIFY2_WITH_TIMEOUT((got += client.readAll()).contains(code) || (client.waitForReadyRead(50), false),
                                      got.constData(), 10000);
        };
        until("220 ");
        client.write("USER dave\r\nPASS a long pass phrase\r\n");
        until("230 ");
        client.write("QUIT\r\n");
        orvyn.terminate();
        QVERIFY(orvyn.waitForFinished(10000));
    }

    // The system account model: the accounts of the password database that
    // can log in (from nss_wrapper), the domain choice, the account check.
    void systemAccounts() {
#ifndef ORVYN_NSS_WRAPPER_LIB
        QSKIP("nss_wrapper is not installed");
#else
        if (qgetenv("USERS_TEST_NSS").isEmpty()) {
            dir_->write("passwd", "ann:x:64601:64600::/home/ann:/bin/bash\n"
                                  "svc:x:64602:64600::/:/usr/sbin/nologin\n"
                                  "off:x:64603:64600::/:/bin/false\n"
                                  "shut:!locked:64604:64600::/:/bin/sh\n"
                                  "ben:x:64605:64600::/home/ben:\n");
            dir_->write("group", "ftp:x:64600:\n");
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("USERS_TEST_NSS", "1");
            env.insert("LD_PRELOAD", ORVYN_NSS_WRAPPER_LIB);
            env.insert("NSS_WRAPPER_PASSWD", QString::fromStdString(*dir_ / "passwd"));
            env.insert("NSS_WRAPPER_GROUP", QString::fromStdString(*dir_ / "group"));
            env.insert("NSS_WRAPPER_DISABLE_DEEPBIND", "1");
            env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QCoreApplication::applicationFilePath(), {"systemAccounts"});
            QVERIFY(child.waitForFinished(60000));
            QCOMPARE(child.exitCode(), 0);
            return;
        }
        const std::string server = std::string(kServersKey) + "\\Sys";
        Put(server + "\\Security", "ServerType", "ntsam");
        Put(server + "\\Security", "DefaultDomain", "CORP");
        QVERIFY(store().CreateKey(Users("Sys") + "\\zed").ok());
        QVERIFY(store().CreateKey(Users("Sys") + "\\CORP\\carl").ok());
        FakePrompt prompt;
        CUsersDlg dlg(*app_, "Sys", nullptr, &prompt);
        auto* domains = Child<QComboBox>(dlg, "Domains");
        QCOMPARE(domains->count(), 2);
        QCOMPARE(domains->currentText(), QString("CORP"));
        QCOMPARE(Names(dlg.userList()), QStringList({"anonymous", "carl", "default"}));
        dlg.SelectDomain(domains->itemText(0));
        QCOMPARE(Names(dlg.userList()), QStringList({"ann", "anonymous", "ben", "default", "zed"}));
        dlg.SelectUser("ann");
        QVERIFY(!dlg.command("Set Password...")->isEnabled());
        // An account the database knows, then one it does not.
        for (const char* name : {"shut", "nobody-here"}) {
            WhenShown<CNewUserDlg>([name](CNewUserDlg* d) {
                d->findChild<QLineEdit*>("UserName")->setText(name);
                d->accept();
            });
            dlg.OnNewUser();
            QCOMPARE(dlg.currentUser(), QString(name));
        }
        QCOMPARE(prompt.told, QStringList({"You can't add users here!!!", "You can't add users here!!!",
                                           "I cannot confirm that this user exists in Windows - if it does not, it "
                                           "will not be able to log in."}));
        QVERIFY(store().KeyExists(Users("Sys") + "\\nobody-here").ok());
        QCOMPARE(Text(Users("Sys") + "\\nobody-here", "Passwd"), QString("<none>"));
#endif
    }
};

QTEST_MAIN(UsersDialogTest)
#include "users_dialog_test.moc"
