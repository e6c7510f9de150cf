#include "applet/sheet/ServerSheet.h"
#include "applet/StoreText.h"

#include <QDialogButtonBox>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/sheet/Pages.h"
#include "applet/sheet/TabCtrlWithDisable.h"

namespace orvyn::applet {

namespace {
IPrompt* MakePrompt(std::unique_ptr<IPrompt>& own, IPrompt* given, QWidget* parent) {
    if (given)
        return given;
    own = std::make_unique<MessageBoxPrompt>(parent);
    return own.get();
}
}  // namespace

CServerSheet::CServerSheet(COrvynCplApp& app, const std::string& server, QWidget* parent, IPrompt* prompt)
    : QDialog(parent),
      context_{app, *MakePrompt(ownPrompt_, prompt, this), server, app.remoteComputer().empty()} {
    setObjectName("ServerSheet");
    setWindowTitle("Configure Server " + FromStoreText(server));
    tabs_ = new CTabCtrlWithDisable(this);
    stack_ = new QStackedWidget(this);
    auto* security = new CSecurityPage(context_);
    auto* advanced = new CAdvPage(context_);
    pages_ = {new CGeneralPage(context_), security,         new CLoggingPage(context_),     new CMessagePage(context_),
              new CNetPage(context_),     new CConversionsPage(context_), advanced, new CTlsPage(context_)};
    for (CCtxPage* p : pages_) {
        tabs_->addTab(p->title());
        stack_->addWidget(p);
        p->Load();
        p->WatchEdits();
        connect(p, &CCtxPage::modifiedChanged, this, &CServerSheet::UpdateApply);
    }
    connect(security, &CSecurityPage::secureChanged, this, &CServerSheet::EnableDependentTabs);
    connect(advanced, &CAdvPage::helpRequested, this, &CServerSheet::ShowHelp);
    EnableDependentTabs(security->secure());

    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply | QDialogButtonBox::Help, this);
    apply_ = buttons->button(QDialogButtonBox::Apply);
    apply_->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &CServerSheet::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CServerSheet::reject);
    connect(apply_, &QPushButton::clicked, this, &CServerSheet::Apply);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [this] { ShowHelp(currentPage()->helpTopic()); });
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, [this] { ShowHelp(currentPage()->helpTopic()); });

    // Ctrl+Tab and Ctrl+Page Down forward, Ctrl+Shift+Tab and Ctrl+Page Up
    // back, around the ends.
    const std::pair<QKeyCombination, int> moves[] = {
        {Qt::CTRL | Qt::Key_Tab, 1},
        {Qt::CTRL | Qt::Key_PageDown, 1},
        {Qt::CTRL | Qt::SHIFT | Qt::Key_Tab, -1},
        {Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab, -1},
        {Qt::CTRL | Qt::Key_PageUp, -1}};
    for (const auto& [keys, direction] : moves) {
        auto* shortcut = new QShortcut(QKeySequence(keys), this);
        connect(shortcut, &QShortcut::activated, this, [this, d = direction] { tabs_->Step(d, true); });
    }
    connect(tabs_, &QTabBar::currentChanged, this, &CServerSheet::OnTabChanged);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->addWidget(tabs_);
    auto* frame = new QWidget(this);
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->addWidget(stack_);
    layout->addWidget(frame, 1);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    resize(620, 500);
}

CServerSheet::~CServerSheet() = default;

CCtxPage* CServerSheet::currentPage() const { return pages_.at(static_cast<size_t>(stack_->currentIndex())); }

void CServerSheet::OnTabChanged(int index) {
    if (reverting_ || index < 0)
        return;
    CCtxPage* leaving = currentPage();
    if (index != stack_->currentIndex() && !leaving->Validate()) {
        reverting_ = true;
        tabs_->setCurrentIndex(stack_->currentIndex());
        reverting_ = false;
        return;
    }
    stack_->setCurrentIndex(index);
    pages_[static_cast<size_t>(index)]->Activated();
}

void CServerSheet::EnableDependentTabs(bool secure) {
    for (int tab : {kLogging, kNetwork, kAdvanced})
        tabs_->EnableTab(tab, secure);
}

void CServerSheet::UpdateApply() {
    bool any = false;
    for (CCtxPage* p : pages_)
        any = any || p->modified();
    apply_->setEnabled(any);
}

bool CServerSheet::Apply() {
    for (CCtxPage* p : pages_) {
        if (!p->Validate()) {
            tabs_->setCurrentIndex(static_cast<int>(std::find(pages_.begin(), pages_.end(), p) - pages_.begin()));
            return false;
        }
    }
    bool reread = false;
    for (CCtxPage* p : pages_) {
        reread = p->Apply() || reread;
        p->Applied();
        p->setModified(false);
    }
    if (reread)
        context_.app.service().AskToReread();
    return true;
}

void CServerSheet::accept() {
    if (Apply())
        QDialog::accept();
}

void CServerSheet::ShowHelp(const QString& topic) {
    if (!help_)
        help_ = new CHelpWindow(this);
    if (!help_->ShowTopic(topic))
        context_.prompt.Tell("Failed to find information in the help file on " + topic, "HTML Help Error",
                             IPrompt::Icon::Warning);
}

}  // namespace orvyn::applet
