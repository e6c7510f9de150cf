// The entry point a settings host calls: CPlApplet(parent, message, lParam1,
// lParam2) with the message numbers below. Hosts load ORVYN.CPL with dlopen
// and look the function up by name.
#pragma once

#include <cstdint>

namespace orvyn::applet {

enum CplMessage : unsigned {
    CPL_INIT = 1,
    CPL_GETCOUNT = 2,
    CPL_INQUIRE = 3,
    CPL_SELECT = 4,
    CPL_DBLCLK = 5,
    CPL_STOP = 6,
    CPL_EXIT = 7,
    CPL_NEWINQUIRE = 8,
};

// Filled in by CPL_NEWINQUIRE into the record lParam2 points at. The layout
// is fixed at 244 bytes: the data and icon fields are 32 bits wide (icon is
// the applet's icon resource number).
struct NEWCPLINFO {
    uint32_t dwSize;
    uint32_t dwFlags;
    uint32_t dwHelpContext;
    uint32_t lData;
    uint32_t hIcon;
    char szName[32];
    char szInfo[64];
    char szHelpFile[128];
};
static_assert(sizeof(NEWCPLINFO) == 244);

// The window a host passes as parent: a QWidget* or null.
using CplParent = void*;
using CplAppletFn = long (*)(CplParent parent, unsigned message, intptr_t lParam1, intptr_t lParam2);

}  // namespace orvyn::applet

extern "C" long CPlApplet(void* parent, unsigned message, intptr_t lParam1, intptr_t lParam2);
