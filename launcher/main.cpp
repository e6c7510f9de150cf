// tamblet: opens the administration applet without a settings host. It
// loads ORVYN.CPL from the folder tamblet itself lives in and calls the
// applet's CPlApplet entry exactly once, with CPL_DBLCLK and a hidden window
// of its own as the parent; the applet runs its main dialog inside that call,
// and tamblet ends when the dialog closes. No options, no configuration.
// Whatever happens, the exit status is 0; the two failures are told in a
// message box (also on standard error).
#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <string>

#include "applet/Cpl.h"
#include "applet/MessageBox.h"
#include "applet/host/ProgramFolder.h"

using namespace orvyn::applet;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("tamblet");

    const std::string folder = ProgramFolder();
    if (folder.empty()) {
        ShowMessage(nullptr, QMessageBox::Critical, "Tamblet error", "Unable to find ORVYN.CPL file to load.");
        return 0;
    }
    const std::string appletPath = folder + "ORVYN.CPL";
    // Never unloaded: the applet's Qt objects may outlive the call.
    void* applet = dlopen(appletPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    CplAppletFn entry = nullptr;
    if (!applet)
        std::fprintf(stderr, "tamblet: %s\n", dlerror());
    else if (!(entry = reinterpret_cast<CplAppletFn>(dlsym(applet, "CPlApplet"))))
        std::fprintf(stderr, "tamblet: %s exports no CPlApplet\n", appletPath.c_str());

    // The applet's owner: never shown.
    QWidget window;
    window.setObjectName("TAMBLET");
    window.setWindowTitle("Tamblet");
    window.hide();

    if (entry)
        entry(&window, CPL_DBLCLK, 0, 0);
    else
        ShowMessage(&window, QMessageBox::Critical, "ORVYN Control Panel error", "Unable to load ORVYN.CPL");
    return 0;
}
