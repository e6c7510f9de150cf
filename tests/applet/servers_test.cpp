// Creating, renaming, exporting and importing server instances through the
// main dialog, offscreen, against a temporary store; and the message boxes
// that neither wait nor stay silent where there is no display.
#include <fcntl.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/MainDlg.h"
#include "applet/NewServerDlg.h"
#include "applet/Prompt.h"
#include "applet/ServerCommands.h"
#include "applet/ServerList.h"
#include "applet/ServerKeys.h"
#include "applet/StoreText.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/applet/AppletTestSupport.h"
#include "tests/support/TempDir.h"

using namespace orvyn;
using namespace orvyn::applet;
using orvyn::test::FakePrompt;
using orvyn::test::FreePort;

namespace {

class FakeChooser : public IFileChooser {
public:
    explicit FakeChooser(QString* file) : file_(file) {}
    QString SaveFile(QWidget*, const QString&) override { return *file_; }
    QString OpenFile(QWidget*, const QString&) override { return *file_; }

private:
    QString* file_;
};

// While it lives, answers every "Create Server" dialog that opens: fills in
// the name and presses OK (Cancel when the name is empty).
class DialogAnswer {
public:
    explicit DialogAnswer(QString name) : name_(std::move(name)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dlg = qobject_cast<CNewServerDlg*>(QApplication::activeModalWidget());
            if (!dlg)
                return;
            if (++shown > 3 || name_.isEmpty()) {  // a dialog that will not close
                dlg->reject();
                return;
            }
            dlg->findChild<QLineEdit*>("ServerName")->setText(name_);
            dlg->findChild<QLineEdit*>("ServerAddress")->setText("10.0.0.1");
            dlg->findChild<QLineEdit*>("ServerPort")->setText("2121");
            if (dlg->okButton()->isEnabled())
                QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
            else
                dlg->reject();
        });
        timer_.start(20);
    }
    int shown = 0;

private:
    QString name_;
    QTimer timer_;
};

// Every key (as "path\") and value (as "path|name" -> type:data) below key.
std::map<std::string, std::string> Dump(const reg::IStore& s, const std::string& key) {
    std::map<std::string, std::string> out;
    std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& k,
                                                                             const std::string& rel) {
        out[rel + "\\"] = "";
        std::vector<reg::Value> values;
        s.EnumValues(k, values);
        for (const reg::Value& v : values)
            out[rel + "|" + v.name] = std::to_string(v.type) + ":" + std::string(v.data.begin(), v.data.end());
        std::vector<std::string> subkeys;
        s.EnumSubkeys(k, subkeys);
        for (const std::string& sub : subkeys)
            walk(k + "\\" + sub, rel + "\\" + sub);
    };
    walk(key, "");
    return out;
}

void Set(reg::IStore& s, const std::string& key, const char* name, uint32_t type, const std::string& data) {
    QVERIFY(s.SetValue(key, name, type, data.data(), data.size()).ok());
}

void SetText(reg::IStore& s, const std::string& key, const char* name, const std::string& text) {
    Set(s, key, name, reg::REG_SZ, text + '\0');
}

// A server with three levels of subkeys, values larger than 8192 bytes of
// several types, and an empty key.
void MakeServerTree(reg::IStore& s, const std::string& name) {
    const std::string k = ServerKey(name);
    std::string big(20000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + 3);
    Set(s, k, "Blob", reg::REG_BINARY, big);
    SetText(s, k, "Address", "0.0.0.0");
    Set(s, k, "Enabled", reg::REG_DWORD, std::string("\0\0\0\0", 4));
    SetText(s, k + "\\Users\\alice", "Passwd", std::string(9000, 'p'));
    SetText(s, k + "\\Users\\alice\\Rights", "/srv/ftp/", "RL");
    Set(s, k + "\\Users\\alice\\Rights", "Long", reg::REG_MULTI_SZ, std::string(8192, 'm') + '\0' + "x" + '\0' + '\0');
    QVERIFY(s.CreateKey(k + "\\Users\\alice\\Virtual Directories").ok());
}

QStringList RowNames(CMainDlg& dlg) {
    QStringList names;
    for (int i = 0; i < dlg.serverList()->topLevelItemCount(); ++i)
        names << dlg.serverList()->topLevelItem(i)->text(0);
    names.sort();
    return names;
}

QLineEdit* OpenEditor(CMainDlg& dlg) { return dlg.serverList()->viewport()->findChild<QLineEdit*>(); }

// Renames the selected row through F2's command and the in-place editor.
void RenameRow(CMainDlg& dlg, const QString& from, const QString& to) {
    dlg.Idle();
    dlg.SelectServerRow(from);
    dlg.Idle();
    dlg.command("&Rename Server...")->trigger();
    QLineEdit* editor = OpenEditor(dlg);
    QVERIFY(editor);
    editor->setText(to);
    QTest::keyClick(editor, Qt::Key_Return);
    // The editor commits through a queued call and the rename follows on a
    // zero timer: passes of the event loop, however slowly they come.
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    dlg.Idle();
}

}  // namespace

class ServersTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDir> dir_;
    std::unique_ptr<COrvynCplApp> app_;
    FakePrompt prompt_;
    QString file_;

    std::unique_ptr<CMainDlg> Dialog() {
        auto dlg = std::make_unique<CMainDlg>(*app_, nullptr, &prompt_);
        dlg->show();
        dlg->serverCommands().setFileChooser(std::make_unique<FakeChooser>(&file_));
        return dlg;
    }

private slots:
    void init() {
        dir_ = std::make_unique<test::TempDir>("applet-servers");
        app_ = std::make_unique<COrvynCplApp>(*dir_ / "registry.db", std::make_unique<RunningService>());
        prompt_ = FakePrompt();
    }

    void cleanup() {
        app_.reset();
        dir_.reset();
    }

    // OK follows the name, address and port rules after every change; New
    // Server then creates the instance disabled.
    void newServerRules() {
        reg::IStore& s = app_->store();
        SetText(s, ServerKey("Main"), "Port", "21");
        {
            CNewServerDlg dlg(*app_, prompt_);
            QVERIFY(!dlg.okButton()->isEnabled());
            auto valid = [&](const char* name, const char* address, const char* port) {
                dlg.findChild<QLineEdit*>("ServerName")->setText(name);
                dlg.findChild<QLineEdit*>("ServerAddress")->setText(address);
                dlg.findChild<QLineEdit*>("ServerPort")->setText(port);
                return dlg.okButton()->isEnabled();
            };
            QVERIFY(valid("New", "0.0.0.0", "ftp"));
            QVERIFY(valid("New", "10.0.0.0", "21"));
            QVERIFY(valid("New", "ftp.example.com", "21"));
            QVERIFY(valid("New", "-not-checked-", "ftp-data"));
            QVERIFY(!valid("New", "192.168.001.5", "21"));
            QVERIFY(!dlg.hint().isEmpty());
            QVERIFY(!valid("New", "10.0.0", "21"));
            QVERIFY(!valid("New", "10.0.0.256", "21"));
            QVERIFY(!valid("New", "10.0.0.0.", "21"));
            QVERIFY(!valid("New", "10..0.0", "21"));
            QVERIFY(!valid("New", "10.0.0.0.1", "21"));
            QVERIFY(!valid("New", "10.0.0.1a", "21"));
            QVERIFY(!valid("New", "", "21"));
            QVERIFY(!valid("New", "0.0.0.0", "21a"));
            QVERIFY(!valid("New", "0.0.0.0", ""));
            QVERIFY(!valid("", "0.0.0.0", "21"));
            QVERIFY(!valid("MAIN", "0.0.0.0", "21"));  // taken, in any case
            QVERIFY(!valid("a\\b", "0.0.0.0", "21"));
            // Its help, and the page it links to.
            QTest::mouseClick(dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Help), Qt::LeftButton);
            QVERIFY(dlg.findChild<CHelpWindow*>() && dlg.findChild<CHelpWindow*>()->currentTopic() == "newserver");
            QVERIFY(CHelpWindow::HasTopic("transfer"));
            QCOMPARE(dlg.findChildren<QLineEdit*>("AliasFor").size(), 1);
            QVERIFY(!dlg.findChild<QLineEdit*>("AliasFor")->isEnabled());
            // An import may name an existing server.
            CNewServerDlg import(*app_, prompt_, nullptr, CNewServerDlg::Purpose::Import, "x.reg");
            import.findChild<QLineEdit*>("ServerName")->setText("main");
            QVERIFY(import.okButton()->isEnabled() && import.existing());
        }

        auto dlg = Dialog();
        {
            DialogAnswer answer("Uploads");
            dlg->command("&New Server...")->trigger();
            QCOMPARE(answer.shown, 1);
        }
        dlg->Idle();
        QCOMPARE(RowNames(*dlg), QStringList({"Main", "Uploads"}));
        CServerRegistry created(s, "Uploads", nullptr);
        reg::Value enabled;
        QVERIFY(s.QueryValue(ServerKey("Uploads"), "Enabled", enabled).ok());
        QCOMPARE(enabled.type, uint32_t(reg::REG_DWORD));
        QCOMPARE(created.ReadInt(nullptr, "Enabled", 1), 0L);
        QCOMPARE(created.ReadString(nullptr, "Address", ""), std::string("10.0.0.1"));
        QCOMPARE(created.ReadString(nullptr, "Port", ""), std::string("2121"));
        QVERIFY(prompt_.told.isEmpty());
    }

    // Rename moves the whole tree unchanged; another server's name is
    // refused; a change of letter case keeps everything; a running server
    // cannot be edited.
    void renameWholeTree() {
        reg::IStore& s = app_->store();
        MakeServerTree(s, "Old");
        SetText(s, ServerKey("Other"), "Port", "2121");
        SetText(s, ServerKey("Live"), "Port", "2122");  // enabled and started under a running service
        const auto tree = Dump(s, ServerKey("Old"));
        QCOMPARE(tree.size(), size_t(11));

        auto dlg = Dialog();
        RenameRow(*dlg, "Old", "Renamed");
        QCOMPARE(Dump(s, ServerKey("Renamed")), tree);
        QCOMPARE(s.KeyExists(ServerKey("Old")).code, long(reg::kNotFound));
        QCOMPARE(RowNames(*dlg), QStringList({"Live", "Other", "Renamed"}));

        RenameRow(*dlg, "Renamed", "other");
        QCOMPARE(prompt_.told, QStringList({"Unable to rename server - a server with the new name already exists"}));
        QCOMPARE(Dump(s, ServerKey("Renamed")), tree);
        QCOMPARE(CServerRegistry(s, "Other", nullptr).ReadString(nullptr, "Port", ""), std::string("2121"));

        RenameRow(*dlg, "Renamed", "RENAMED");
        std::vector<std::string> names;
        QVERIFY(s.EnumSubkeys(kServersKey, names).ok());
        QCOMPARE(names, (std::vector<std::string>{"Live", "Other", "RENAMED"}));
        QCOMPARE(Dump(s, ServerKey("RENAMED")), tree);

        dlg->SelectServerRow("Live");
        dlg->Idle();
        QVERIFY(!dlg->command("&Rename Server...")->isEnabled());
        dlg->serverList()->editItem(dlg->serverList()->currentItem(), 0);
        QVERIFY(!OpenEditor(*dlg));
        QCOMPARE(prompt_.told.size(), 1);
    }

    // A name that is not UTF-8 (written by another tool) names its own key:
    // the row can be renamed, and nothing is made under a look-alike name.
    void nameThatIsNotUtf8() {
        reg::IStore& s = app_->store();
        MakeServerTree(s, "Caf\xe9");
        const auto tree = Dump(s, ServerKey("Caf\xe9"));
        auto dlg = Dialog();
        RenameRow(*dlg, FromStoreText("Caf\xe9"), "Cafe");
        QCOMPARE(Dump(s, ServerKey("Cafe")), tree);
        std::vector<std::string> names;
        QVERIFY(s.EnumSubkeys(kServersKey, names).ok());
        QCOMPARE(names, std::vector<std::string>{"Cafe"});
        // A new spelling of a name as long as names go keeps it whole.
        const std::string lower(250, 'a'), upper(250, 'A');
        MakeServerTree(s, lower);
        QVERIFY(RenameServer(s, lower, upper).ok());
        names.clear();
        QVERIFY(s.EnumSubkeys(kServersKey, names).ok());
        QCOMPARE(names, (std::vector<std::string>{upper, "Cafe"}));
    }

    // Export replaces an existing file; import refuses a file that is not an
    // exported server before anything changes, creates a new server or,
    // after asking, overwrites an existing one.
    void exportAndImport() {
        reg::IStore& s = app_->store();
        MakeServerTree(s, "Main");
        SetText(s, ServerKey("Other"), "Port", "2121");
        SetText(s, ServerKey("Other") + "\\Users\\bob", "Passwd", "x");
        const auto mainTree = Dump(s, ServerKey("Main"));
        // What the service wrote about Main's run is exported with it, but
        // belongs to no imported server.
        SetText(s, ServerKey("Main"), "NumPort", "2121");
        QVERIFY(s.SetValue(ServerKey("Main"), "Started", reg::REG_DWORD, reg::DwordData(1).data(), 4).ok());
        auto dlg = Dialog();

        dlg->Idle();
        dlg->SelectServerRow("Main");
        dlg->Idle();
        file_ = QString::fromStdString(*dir_ / "no-such-folder/main.reg");
        dlg->command("&Export Server...")->trigger();
        QVERIFY(prompt_.told.value(0).startsWith("Error exporting server - perhaps you ran out of disk space?\n"));
        file_ = QString::fromStdString(dir_->write("main.reg", std::string(100000, 'j')));
        dlg->command("&Export Server...")->trigger();
        QCOMPARE(prompt_.told.value(1), QString("Server successfully exported"));
        QVERIFY(QFileInfo(file_).size() != 100000);

        // Not an exported server: refused before the name is asked for.
        const QString exported = file_;
        file_ = QString::fromStdString(dir_->write("bad.reg", std::string(100000, 'j')));
        const auto before = Dump(s, kProductKey);
        {
            DialogAnswer answer("Other");
            prompt_.fallback = true;
            dlg->command("&Import Server...")->trigger();
            QCOMPARE(answer.shown, 0);
        }
        QVERIFY(prompt_.told.last().startsWith("Unable to import server - the file is not an exported server."));
        QCOMPARE(Dump(s, kProductKey), before);

        file_ = exported;
        {
            DialogAnswer answer("Other");
            prompt_.fallback = false;
            dlg->command("&Import Server...")->trigger();
            QCOMPARE(answer.shown, 1);
        }
        QCOMPARE(prompt_.asked, QStringList({"Do you want to overwrite the existing server of that name?"}));
        QCOMPARE(Dump(s, kProductKey), before);
        {
            DialogAnswer answer("Other");
            prompt_.fallback = true;
            dlg->command("&Import Server...")->trigger();
        }
        // Other runs: the file's Enabled 0 would show it stopped while the
        // service goes on running it, so it keeps its own (none).
        reg::Value enabled;
        QVERIFY(!s.QueryValue(ServerKey("Other"), "Enabled", enabled).ok());
        QVERIFY(IsServerRunning(s, "Other", app_->service().QueryState()));
        Set(s, ServerKey("Other"), "Enabled", reg::REG_DWORD, std::string("\0\0\0\0", 4));
        QCOMPARE(Dump(s, ServerKey("Other")), mainTree);
        {
            DialogAnswer answer("Copy");
            dlg->command("&Import Server...")->trigger();
        }
        QCOMPARE(prompt_.asked.size(), 2);
        QCOMPARE(Dump(s, ServerKey("Copy")), mainTree);
        dlg->Idle();
        QCOMPARE(RowNames(*dlg), QStringList({"Copy", "Main", "Other"}));
        QCOMPARE(prompt_.told.size(), 3);
    }

    // Without a display a message box is written to standard error and
    // answers as Escape would, at once.
    void messageBoxesWithoutDisplay() {
        const std::string log = *dir_ / "stderr.txt";
        const int saved = ::dup(2);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
        MessageBoxPrompt prompt(nullptr);
        const bool yes = prompt.AskYesNo("Stop everything?", "Question");
        prompt.Tell("Unable to write to registry", "Trouble", IPrompt::Icon::Error);
        ::dup2(saved, 2);
        ::close(saved);
        QVERIFY(!yes);
        QFile out(QString::fromStdString(log));
        QVERIFY(out.open(QIODevice::ReadOnly));
        const QString text = QString::fromLocal8Bit(out.readAll());
        QVERIFY2(text.contains("Question: Stop everything?\n") && text.contains("answered No") &&
                     text.contains("Trouble: Unable to write to registry\n"),
                 qPrintable(text));
    }
};

QTEST_MAIN(ServersTest)
#include "servers_test.moc"
