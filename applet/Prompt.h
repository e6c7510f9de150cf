// How the dialog asks and tells the administrator: message boxes in the
// applet, a recording fake in tests.
#pragma once

#include <QString>

class QWidget;

namespace orvyn::applet {

class IPrompt {
public:
    enum class Icon { Information, Warning, Error };
    virtual ~IPrompt() = default;
    virtual void Tell(const QString& text, const QString& title, Icon icon) = 0;
    // True for Yes / OK.
    virtual bool AskYesNo(const QString& text, const QString& title) = 0;
    virtual bool AskOkCancel(const QString& text, const QString& title) = 0;
};

// Modal message boxes over a parent window (see MessageBox.h: also on
// standard error, and not waiting where there is no display).
class MessageBoxPrompt : public IPrompt {
public:
    explicit MessageBoxPrompt(QWidget* parent) : parent_(parent) {}
    void Tell(const QString& text, const QString& title, Icon icon) override;
    bool AskYesNo(const QString& text, const QString& title) override;
    bool AskOkCancel(const QString& text, const QString& title) override;

private:
    QWidget* parent_;
};

// The system's text for an error number of the service manager.
QString ServiceErrorText(long error);

}  // namespace orvyn::applet
