#include "applet/HelpWindow.h"

#include <QFile>
#include <QTextBrowser>
#include <QVBoxLayout>

// The pages live in a static library: their resource is registered by hand.
static void InitHelpResources() { Q_INIT_RESOURCE(help); }

namespace orvyn::applet {

namespace {
QString PageOf(const QString& topic) { return ":/help/" + topic + ".html"; }
}  // namespace

CHelpWindow& CHelpWindow::Of(QWidget* owner) {
    if (auto* help = owner->findChild<CHelpWindow*>(QString(), Qt::FindDirectChildrenOnly))
        return *help;
    return *new CHelpWindow(owner);
}

CHelpWindow::CHelpWindow(QWidget* parent) : QDialog(parent), browser_(new QTextBrowser(this)) {
    setWindowTitle("ORVYN Pro Help");
    browser_->setSearchPaths({":/help"});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(browser_);
    resize(560, 420);
}

bool CHelpWindow::HasTopic(const QString& topic) {
    static const bool registered = (InitHelpResources(), true);
    (void)registered;
    return !topic.isEmpty() && !topic.contains('/') && QFile::exists(PageOf(topic));
}

bool CHelpWindow::ShowTopic(const QString& topic) {
    if (!HasTopic(topic))
        return false;
    topic_ = topic;
    browser_->setSource(QUrl("qrc" + PageOf(topic)));
    show();
    raise();
    return true;
}

}  // namespace orvyn::applet
