// Opens a folder of many subfolders in the users editor's folder tree, as an
// administrator does, and measures how long the dialog's thread is held up
// at most (the longest gap between two turns of its event loop) and how long
// the folder takes to fill completely. One subfolder is in the tree before
// the folder is opened, as when a user has rights on it. Offscreen; temporary store and folder.
//
//   bench_users_tree [folders]      (default 100000)
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "applet/CplApp.h"
#include "applet/UsersDlg.h"

using namespace orvyn::applet;

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (count <= 0)
        count = 100000;
    char tmpl[] = "/tmp/orvyn-bench-users-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const std::string dir = tmpl;
    const std::string big = dir + "/big";
    ::mkdir(big.c_str(), 0755);
    for (int i = 0; i < count; ++i)
        ::mkdir((big + "/folder" + std::to_string(i)).c_str(), 0755);

    double stallMs = 0, totalMs = 0;
    int children = 0;
    {
        COrvynCplApp cpl(dir + "/registry.db", std::make_unique<RunningService>());
        CUsersDlg dlg(cpl, "Bench");
        dlg.show();
        QTreeWidgetItem* node = dlg.FolderNode(QString::fromStdString(big), true);
        // A folder already in the tree (as a rights entry puts it there):
        // the listing then merges with it.
        dlg.FolderNode(QString::fromStdString(big + "/folder5"), true);
        QElapsedTimer total, gap;
        total.start();
        gap.start();
        node->setExpanded(true);
        while (dlg.pendingListings() > 0) {
            QApplication::processEvents(QEventLoop::AllEvents);
            stallMs = std::max(stallMs, gap.nsecsElapsed() / 1e6);
            gap.restart();
        }
        totalMs = total.nsecsElapsed() / 1e6;
        children = node->childCount();
    }
    QDir(QString::fromStdString(dir)).removeRecursively();
    std::printf("%d folders: filled in %.0f ms, longest stall of the dialog %.1f ms\n", children, totalMs, stallMs);
    return children == count ? 0 : 1;
}
