// "Configure Server <name>": the property sheet that edits every setting of
// one server instance on eight pages (Pages.h). OK and Apply write every
// page; when a page that the running service reads at once was written, the
// service is asked to re-read its configuration.
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "applet/Prompt.h"
#include "applet/sheet/CtxPage.h"

class QPushButton;
class QStackedWidget;

namespace orvyn::applet {

class CHelpWindow;
class COrvynCplApp;
class CTabCtrlWithDisable;

class CServerSheet : public QDialog {
    Q_OBJECT
public:
    enum Tab { kGeneral, kSecurity, kLogging, kMessages, kNetwork, kConversions, kAdvanced, kTls, kTabs };

    // prompt null: message boxes over the sheet.
    CServerSheet(COrvynCplApp& app, const std::string& server, QWidget* parent = nullptr, IPrompt* prompt = nullptr);
    ~CServerSheet() override;

    CTabCtrlWithDisable* tabs() const { return tabs_; }
    CCtxPage* page(int tab) const { return pages_.at(static_cast<size_t>(tab)); }
    template <class T>
    T* page(int tab) const { return static_cast<T*>(page(tab)); }
    CCtxPage* currentPage() const;
    QPushButton* applyButton() const { return apply_; }

    // Validates and writes every page; false when a page kept the sheet open.
    bool Apply();
    // Opens the help window at a topic.
    void ShowHelp(const QString& topic);

public slots:
    void accept() override;

private:
    void OnTabChanged(int index);
    void EnableDependentTabs(bool secure);
    void UpdateApply();

    std::unique_ptr<IPrompt> ownPrompt_;
    SheetContext context_;
    CTabCtrlWithDisable* tabs_;
    QStackedWidget* stack_;
    QPushButton* apply_;
    std::vector<CCtxPage*> pages_;
    CHelpWindow* help_ = nullptr;
    bool reverting_ = false;
};

}  // namespace orvyn::applet
