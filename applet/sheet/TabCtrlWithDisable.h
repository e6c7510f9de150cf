// A tab bar whose tabs can be disabled: a disabled tab is drawn greyed and
// can be selected neither with the mouse nor with the keyboard. Left and
// Right move to the previous or next enabled tab and stop at the ends;
// Step(..., true) (Ctrl+Tab, Ctrl+Page Down and their reverse, bound by the
// sheet) wraps around.
#pragma once

#include <QTabBar>

namespace orvyn::applet {

class CTabCtrlWithDisable : public QTabBar {
    Q_OBJECT
public:
    explicit CTabCtrlWithDisable(QWidget* parent = nullptr);

    // Tabs are enabled until disabled here.
    void EnableTab(int index, bool enable);
    bool IsTabEnabled(int index) const;

    // Moves the selection by one enabled tab in `direction` (+1 or -1):
    // announces selectionChanging, selects the tab, and the bar emits
    // currentChanged. False (nothing happens) when there is no such tab.
    bool Step(int direction, bool wrap);

signals:
    // Before a keyboard move.
    void selectionChanging();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
};

}  // namespace orvyn::applet
