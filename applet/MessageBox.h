// Message boxes of the applet and its launcher. Every message is also
// written to standard error, so that scripts see it; on a platform without
// a display (offscreen, minimal) the box is not shown and the answer is the
// one Escape would give (Cancel, else No, else OK), so nothing waits for a
// click that cannot come.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace orvyn::applet {

// True when the application runs on a platform without a display.
bool NoDisplay();

// Writes "title: text" to standard error.
void EchoMessage(const QString& title, const QString& text);

// A modal message box over parent; the button chosen.
QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                        const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);

}  // namespace orvyn::applet
