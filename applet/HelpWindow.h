// The applet's help: pages bundled with the applet, shown by topic in the
// applet's own window. A topic is the name of a page without ".html".
#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

namespace orvyn::applet {

class CHelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit CHelpWindow(QWidget* parent = nullptr);
    // Shows the topic; false when the help has no such page.
    bool ShowTopic(const QString& topic);
    QString currentTopic() const { return topic_; }

    static bool HasTopic(const QString& topic);
    // The help window of a window, made on first use. A modal dialog has
    // its own: the help window of a window it blocks would take no input.
    static CHelpWindow& Of(QWidget* owner);

private:
    QTextBrowser* browser_;
    QString topic_;
};

}  // namespace orvyn::applet
