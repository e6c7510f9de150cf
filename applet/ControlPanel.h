// The applet object behind CPlApplet. CControlPanel answers every message
// with the defaults a plain applet gives; COrvynPanel is this applet.
#pragma once

#include <cstdint>

#include "applet/Cpl.h"

namespace orvyn::applet {

class CControlPanel {
public:
    virtual ~CControlPanel() = default;

    long Dispatch(CplParent parent, unsigned message, intptr_t lParam1, intptr_t lParam2);

protected:
    virtual long OnInit() { return 1; }
    virtual long OnGetCount() { return 1; }
    virtual long OnInquire(unsigned /*index*/, void* /*info*/) { return 0; }
    virtual long OnSelect(unsigned /*index*/, intptr_t /*data*/) { return 1; }
    virtual long OnDblclk(CplParent /*parent*/, unsigned /*index*/, intptr_t /*data*/) { return 0; }
    virtual long OnStop(unsigned /*index*/, intptr_t /*data*/) { return 1; }
    virtual long OnExit() { return 0; }
    virtual long OnNewInquire(unsigned index, NEWCPLINFO* info);
};

class COrvynPanel : public CControlPanel {
protected:
    long OnDblclk(CplParent parent, unsigned index, intptr_t data) override;
    long OnNewInquire(unsigned index, NEWCPLINFO* info) override;
    long OnExit() override;
};

// Fills a record field by field; texts are cut to fit with their NUL.
void FillNewCplInfo(NEWCPLINFO& info, uint32_t helpContext, uint32_t icon, const char* name, const char* infoText,
                    const char* helpFile);

}  // namespace orvyn::applet
