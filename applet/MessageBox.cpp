#include "applet/MessageBox.h"

#include <QGuiApplication>
#include <cstdio>

namespace orvyn::applet {

bool NoDisplay() {
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

void EchoMessage(const QString& title, const QString& text) {
    const QByteArray line = (title + ": " + text + "\n").toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                        const QString& text, QMessageBox::StandardButtons buttons) {
    EchoMessage(title, text);
    if (NoDisplay()) {
        const QMessageBox::StandardButton answer = buttons.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel
                                                   : buttons.testFlag(QMessageBox::No)   ? QMessageBox::No
                                                                                         : QMessageBox::Ok;
        if (buttons != QMessageBox::StandardButtons(QMessageBox::Ok)) {
            const QByteArray note = (QString("  (no display: answered %1)\n")
                                         .arg(answer == QMessageBox::Cancel ? "Cancel"
                                              : answer == QMessageBox::No   ? "No"
                                                                            : "OK"))
                                        .toLocal8Bit();
            std::fwrite(note.constData(), 1, static_cast<size_t>(note.size()), stderr);
        }
        return answer;
    }
    QMessageBox box(icon, title, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace orvyn::applet
