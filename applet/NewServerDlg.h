// "Create Server": the name, listening address and port of a new server
// instance. OK is enabled only while all three are valid (checked after every
// change; the name must not be taken under Servers, which is looked up in the
// store each time). OK creates the instance, disabled; when that fails the
// dialog says so and stays open.
//
// For an import the same dialog names the server the file goes into; there
// the name of an existing server is also accepted (the caller asks whether
// to overwrite it) and nothing is created for it.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace orvyn::applet {

class COrvynCplApp;
class IPrompt;

class CNewServerDlg : public QDialog {
    Q_OBJECT
public:
    enum class Purpose { Create, Import };

    // importFile: the file an import reads, shown in the dialog.
    CNewServerDlg(COrvynCplApp& app, IPrompt& prompt, QWidget* parent = nullptr, Purpose purpose = Purpose::Create,
                  const QString& importFile = {});

    QString name() const;
    QString address() const;
    QString port() const;
    // After OK of an import: the name was that of an existing server.
    bool existing() const { return existing_; }

    QPushButton* okButton() const { return ok_; }
    // Why OK is disabled (or, for an import, that the server exists), or empty.
    QString hint() const;

    void accept() override;

private:
    void Validate();
    void ShowHelp();

    COrvynCplApp& app_;
    IPrompt& prompt_;
    Purpose purpose_;
    QLineEdit* name_;
    QLineEdit* address_;
    QLineEdit* port_;
    QLabel* hint_;
    QPushButton* ok_;
    bool existing_ = false;
};

}  // namespace orvyn::applet
