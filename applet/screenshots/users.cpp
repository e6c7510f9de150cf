// Pictures of the users editor: the "User Configuration Dialog" with a user,
// rights entries and a home on a fixed folder tree, "Create New User" and
// "Set user password".
#include <stdlib.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTreeWidget>
#include <cstdio>
#include <map>

#include "applet/CplApp.h"
#include "applet/NewUserDlg.h"
#include "applet/SetPassDlg.h"
#include "applet/UsersDlg.h"
#include "applet/users/UserRights.h"
#include "service/base/settings/ServerRegistry.h"

using namespace orvyn;
using namespace orvyn::applet;

namespace {

// A small made-up computer, so the pictures look the same everywhere.
class PictureFiles : public LocalComputerFiles {
public:
    int ListFolders(const std::string& path, std::vector<std::string>& names) override {
        static const std::map<std::string, std::vector<std::string>> tree = {
            {"/", {"etc", "home", "srv", "var"}},
            {"/home", {"alice", "bob"}},
            {"/srv", {"ftp"}},
            {"/srv/ftp", {"incoming", "private", "pub"}},
            {"/srv/ftp/pub", {"docs", "releases"}},
        };
        auto it = tree.find(path);
        names = it == tree.end() ? std::vector<std::string>{} : it->second;
        return 0;
    }
    int ListCertificates(long, std::vector<CertificateInfo>& out) override {
        out.clear();
        return 0;
    }
    std::string CheckCertificate(long, const std::string&) override { return {}; }
};

void Settle(CUsersDlg& dlg) {
    QElapsedTimer timer;
    timer.start();
    while (dlg.pendingListings() > 0 && timer.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

}  // namespace

bool SaveUsersScreenshots(const QString& folder) {
    char dirTemplate[] = "/tmp/orvyn-users-shots-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return false;
    bool ok = true;
    {
        auto store = std::make_unique<reg::Store>(std::string(dirTemplate) + "/registry.db");
        reg::IStore& s = *store;
        COrvynCplApp cpl(ManagedComputer{"", std::move(store), std::make_unique<RunningService>(),
                                         std::make_unique<PictureFiles>(), {}});

        CUsersKey users(s, "Main");
        UserRecord alice;
        alice.home = "/srv/ftp";
        alice.restricted = true;
        alice.rights = {{"/srv/ftp/", kRead | kList}, {"/srv/ftp/incoming/", kCreate | kList},
                        {"/srv/ftp/private/", 0}};
        users.Save("alice", alice, false);
        users.SetPassword("alice", "picture");
        users.Save("bob", UserRecord{}, false);
        UserRecord defaults;
        defaults.rights = {{"*", kRead | kList}};
        users.Save("default", defaults, false);
        s.CreateKey(std::string(kServersKey) + "\\Backup");

        CUsersDlg dlg(cpl, "Main");
        dlg.show();
        dlg.SelectUser("alice");
        for (const char* path : {"/", "/srv", "/srv/ftp"}) {
            dlg.FolderNode(path)->setExpanded(true);
            Settle(dlg);
        }
        dlg.SelectFolder("/srv/ftp/incoming");
        ok = dlg.grab().save(folder + "/users-dialog.png") && ok;

        CNewUserDlg newUser(&dlg);
        newUser.findChild<QLineEdit*>("UserName")->setText("carol");
        newUser.show();
        ok = newUser.grab().save(folder + "/users-new-user.png") && ok;
        CSetPassDlg pass(&dlg);
        pass.show();
        ok = pass.grab().save(folder + "/users-set-password.png") && ok;
        dlg.reject();
    }
    QDir(dirTemplate).removeRecursively();
    if (ok)
        std::printf("saved %s/users-dialog.png, users-new-user.png and users-set-password.png\n", qPrintable(folder));
    return ok;
}
