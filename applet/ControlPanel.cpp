#include "applet/ControlPanel.h"

#include <QApplication>
#include <QWidget>
#include <cstring>
#include <memory>

#include "applet/CplApp.h"
#include "applet/MainDlg.h"

namespace orvyn::applet {

namespace {

void CopyText(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    std::strncpy(field, text, size - 1);
}

// The host of a plain C program has no QApplication; the applet makes one
// for the time the dialog runs.
struct ApplicationScope {
    ApplicationScope() {
        if (!QApplication::instance())
            owned = std::make_unique<QApplication>(argc, argv);
    }
    int argc = 1;
    char name[6] = "orvyn";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> owned;
};

}  // namespace

void FillNewCplInfo(NEWCPLINFO& info, uint32_t helpContext, uint32_t icon, const char* name, const char* infoText,
                    const char* helpFile) {
    info.dwSize = sizeof(NEWCPLINFO);
    info.dwFlags = 0;
    info.dwHelpContext = helpContext;
    info.lData = 0;
    info.hIcon = icon;
    CopyText(info.szName, sizeof info.szName, name);
    CopyText(info.szInfo, sizeof info.szInfo, infoText);
    CopyText(info.szHelpFile, sizeof info.szHelpFile, helpFile);
}

long CControlPanel::Dispatch(CplParent parent, unsigned message, intptr_t lParam1, intptr_t lParam2) {
    const auto index = static_cast<unsigned>(lParam1);
    switch (message) {
    case CPL_INIT: return OnInit();
    case CPL_GETCOUNT: return OnGetCount();
    case CPL_INQUIRE: return OnInquire(index, reinterpret_cast<void*>(lParam2));
    case CPL_SELECT: return OnSelect(index, lParam2);
    case CPL_DBLCLK: return OnDblclk(parent, index, lParam2);
    case CPL_STOP: return OnStop(index, lParam2);
    case CPL_EXIT: return OnExit();
    case CPL_NEWINQUIRE: return OnNewInquire(index, reinterpret_cast<NEWCPLINFO*>(lParam2));
    default: return 1;
    }
}

long CControlPanel::OnNewInquire(unsigned, NEWCPLINFO* info) {
    if (info)
        FillNewCplInfo(*info, 0, 1, "Applet", "Raw Cpl Applet", "ORVYN.HLP");
    return 0;
}

long COrvynPanel::OnNewInquire(unsigned, NEWCPLINFO* info) {
    if (info)
        FillNewCplInfo(*info, 131202, 129, "ORVYN FTP Server", "Allows you to configure, start and stop FTP service",
                       "ORVYN.HLP");
    return 0;
}

long COrvynPanel::OnExit() {
    COrvynCplApp::Instance().CloseService();
    return 0;
}

long COrvynPanel::OnDblclk(CplParent parent, unsigned, intptr_t) {
    ApplicationScope app;
    COrvynCplApp& cpl = COrvynCplApp::Instance();
    cpl.OpenService();
    {
        CMainDlg dlg(cpl, static_cast<QWidget*>(parent));
        cpl.setMainDialog(&dlg);
        dlg.exec();
        cpl.setMainDialog(nullptr);
    }
    return 0;
}

}  // namespace orvyn::applet

extern "C" __attribute__((visibility("default"))) long CPlApplet(void* parent, unsigned message, intptr_t lParam1,
                                                                  intptr_t lParam2) {
    static orvyn::applet::COrvynPanel panel;
    return panel.Dispatch(parent, message, lParam1, lParam2);
}
