// Pictures of the server creation dialog: filled in, refusing an address,
// and naming the server an import goes into.
#include <QLineEdit>
#include <QString>

#include <cstdio>

#include "applet/CplApp.h"
#include "applet/NewServerDlg.h"
#include "applet/Prompt.h"

using namespace orvyn::applet;

namespace {

class SilentPrompt : public IPrompt {
public:
    void Tell(const QString&, const QString&, Icon) override {}
    bool AskYesNo(const QString&, const QString&) override { return false; }
    bool AskOkCancel(const QString&, const QString&) override { return false; }
};

bool Shoot(COrvynCplApp& app, const QString& file, CNewServerDlg::Purpose purpose, const QString& name,
           const QString& address, const QString& port) {
    SilentPrompt prompt;
    CNewServerDlg dlg(app, prompt, nullptr, purpose, "/home/admin/uploads-server.reg");
    dlg.findChild<QLineEdit*>("ServerName")->setText(name);
    dlg.findChild<QLineEdit*>("ServerAddress")->setText(address);
    dlg.findChild<QLineEdit*>("ServerPort")->setText(port);
    dlg.show();
    dlg.adjustSize();
    return dlg.grab().save(file);
}

}  // namespace

// Saves new-server.png, new-server-refused.png and import-server.png into folder.
bool SaveServerDialogShots(COrvynCplApp& app, const QString& folder) {
    using P = CNewServerDlg::Purpose;
    const bool saved = Shoot(app, folder + "/new-server.png", P::Create, "Uploads", "192.168.1.5", "2121") &&
                       Shoot(app, folder + "/new-server-refused.png", P::Create, "Uploads", "192.168.001.5", "ftp") &&
                       Shoot(app, folder + "/import-server.png", P::Import, "Main", "0.0.0.0", "ftp");
    if (saved)
        std::printf("saved %s/new-server.png, new-server-refused.png and import-server.png\n", qPrintable(folder));
    return saved;
}
