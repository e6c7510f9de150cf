#include "applet/sheet/TabCtrlWithDisable.h"

#include <QKeyEvent>
#include <QWheelEvent>

namespace orvyn::applet {

CTabCtrlWithDisable::CTabCtrlWithDisable(QWidget* parent) : QTabBar(parent) {
    setObjectName("SheetTabs");
    setFocusPolicy(Qt::StrongFocus);
    setUsesScrollButtons(false);
    setExpanding(false);
    setDrawBase(true);
}

void CTabCtrlWithDisable::EnableTab(int index, bool enable) { setTabEnabled(index, enable); }

bool CTabCtrlWithDisable::IsTabEnabled(int index) const { return isTabEnabled(index); }

bool CTabCtrlWithDisable::Step(int direction, bool wrap) {
    const int n = count();
    if (n == 0)
        return false;
    int index = currentIndex();
    for (int tried = 1; tried < n; ++tried) {
        index += direction;
        if (index < 0 || index >= n) {
            if (!wrap)
                return false;
            index = (index + n) % n;
        }
        if (!isTabEnabled(index))
            continue;
        emit selectionChanging();
        setCurrentIndex(index);
        return true;
    }
    return false;
}

void CTabCtrlWithDisable::keyPressEvent(QKeyEvent* event) {
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
        if (!ctrl) {
            Step(event->key() == Qt::Key_Left ? -1 : 1, false);
            event->accept();
            return;
        }
        break;
    case Qt::Key_Home:
    case Qt::Key_End:
        // Only the arrows move between tabs.
        event->accept();
        return;
    default: break;
    }
    QTabBar::keyPressEvent(event);
}

void CTabCtrlWithDisable::wheelEvent(QWheelEvent* event) { event->ignore(); }

}  // namespace orvyn::applet
