// orvyn-applet-screenshots FOLDER: renders the main dialog offscreen with
// two servers and three live connections (served by a scripted server on
// loopback, over a temporary store) and saves main-dialog.png and
// help.png and connect-dialog.png into FOLDER, so a person can look at them.
#include <stdlib.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "applet/ConnectDialog.h"
#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/MainDlg.h"
#include "service/base/settings/ServerRegistry.h"

using namespace orvyn;
using namespace orvyn::applet;

namespace orvyn::applet {
bool SaveServerSheetPictures(const std::string& storePath, const QString& folder);
}
bool SaveUsersScreenshots(const QString& folder);  // users.cpp

namespace {

void Put(reg::IStore& store, const std::string& server, const char* name, const std::string& text) {
    auto data = reg::StringData(text);
    store.SetValue(std::string(kServersKey) + "\\" + server, name, reg::REG_SZ, data.data(), data.size());
}

bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

}  // namespace

bool SaveServerDialogShots(COrvynCplApp& app, const QString& folder);  // servers.cpp

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        const bool asked = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
        std::fprintf(asked ? stdout : stderr,
                     "usage: orvyn-applet-screenshots [FOLDER]   saves pictures of the applet's windows "
                     "(default folder: screenshots)\n");
        return asked ? 0 : 2;
    }
    const QString folder = argc > 1 ? argv[1] : "screenshots";
    QDir().mkpath(folder);

    char dirTemplate[] = "/tmp/orvyn-screenshots-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    const std::string storePath = dir + "/registry.db";

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "orvyn-applet-screenshots: cannot listen on loopback\n");
        return 1;
    }
    int status = 0;
    {
        COrvynCplApp cpl(storePath, std::make_unique<RunningService>());
        Put(cpl.store(), "Main", "Address", "127.0.0.1");
        Put(cpl.store(), "Main", "Port", std::to_string(server.serverPort()));
        Put(cpl.store(), "Backup", "Address", "0.0.0.0");
        Put(cpl.store(), "Backup", "Port", "2121");
        Put(cpl.store(), "Backup", "Enabled", "no");

        std::unique_ptr<QTcpSocket> peer;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            peer.reset(server.nextPendingConnection());
            peer->write("220 ORVYN Pro ready\r\n"
                        "300-MODI alice 14 192.168.1.20:50112 Success RETR reports/2026-q3.pdf\r\n"
                        "300-MODI \"guest@example.org\" 17 10.0.0.8:41002 Success LIST -la\r\n"
                        "300 MODI bob 21 192.168.1.33:50230 Success STOR upload/photos.zip\r\n");
        });

        CMainDlg dlg(cpl);
        dlg.resize(980, 420);
        dlg.show();
        dlg.SelectServerRow("Main");
        if (!WaitFor([&] { return dlg.connectionList()->topLevelItemCount() == 3; })) {
            std::fprintf(stderr, "orvyn-applet-screenshots: the connections did not arrive\n");
            status = 1;
        }
        dlg.Idle();
        const QString mainFile = folder + "/main-dialog.png";
        if (!dlg.grab().save(mainFile))
            status = 1;
        dlg.ShowHelp("servers");
        if (auto* help = dlg.findChild<CHelpWindow*>(); !help || !help->grab().save(folder + "/help.png"))
            status = 1;
        if (!SaveServerDialogShots(cpl, folder))
            status = 1;
        CConnectDialog connectDialog("ftp.example.org", &dlg);
        connectDialog.show();
        if (!connectDialog.grab().save(folder + "/connect-dialog.png"))
            status = 1;
        if (status == 0)
            std::printf("saved %s, %s/help.png and %s/connect-dialog.png\n", qPrintable(mainFile), qPrintable(folder),
                        qPrintable(folder));
    }
    if (!SaveServerSheetPictures(dir + "/sheet.db", folder))
        status = 1;
    QDir(QString::fromStdString(dir)).removeRecursively();
    if (!SaveUsersScreenshots(folder))
        status = 1;
    return status;
}
