// The eight pages of the server property sheet, in tab order. Each edits
// one key of the server (CCtxPage); controls that hold a value are named
// after the value (objectName), so tests and help find them.
#pragma once

#include <QDialog>
#include <QString>
#include <map>
#include <string>
#include <vector>

#include "applet/sheet/CtxPage.h"
#include "applet/sheet/SheetRules.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QGroupBox;

namespace orvyn::applet {

// The choosers of the pages (this computer only): a folder, returned with a
// final "/", or a file to open or save; empty on Cancel.
QString ChooseDirectory(QWidget* parent, const QString& start);
QString ChooseFile(QWidget* parent, bool save, const QString& filter, const QString& defaultSuffix,
                   const QString& start);

// "General": address, port, contact and the instance's status.
class CGeneralPage : public CCtxPage {
    Q_OBJECT
public:
    explicit CGeneralPage(SheetContext& context);
    void Read() override;
    bool Apply() override;

private:
    void Write() override;

    QLineEdit *name_, *address_, *port_, *email_;
    QLabel *status_, *description_;
    bool expandAddress_ = false, expandPort_ = false;
};

// "Security": logins, anonymous access, limits, the restricting folder and
// the user security model.
class CSecurityPage : public CCtxPage {
    Q_OBJECT
public:
    explicit CSecurityPage(SheetContext& context);
    void Read() override;
    bool Validate() override;
    bool Apply() override;
    bool secure() const;

signals:
    // Enable Security changed (the sheet enables the tabs that depend on it).
    void secureChanged(bool on);

private:
    void Write() override;
    void UpdateControls();
    void OnSecureClicked();
    void OnAnonUserLeft();
    bool ntsam() const;

    QCheckBox *secure_, *allowPuts_, *allowAnon_, *anonPuts_;
    QLineEdit *anonUser_, *restrict_, *domain_;
    QLabel *anonUserLabel_, *domainLabel_;
    QSpinBox *maxUsers_, *timeOut_;
    QPushButton* browse_;
    QComboBox* model_;
    QString anonPass_;
    QString acceptedUser_;  // the name "As:" held when it was last left
    QString readRestrict_;  // "Restrict Server to Path:" as read or last applied
};

// "Logging": the log file and what it records.
class CLoggingPage : public CCtxPage {
    Q_OBJECT
public:
    explicit CLoggingPage(SheetContext& context);
    void Read() override;
    bool Apply() override;

private:
    void Write() override;
    void UpdateControls();

    QLineEdit* file_;
    QPushButton* browse_;
    QCheckBox* enable_;
    std::vector<std::pair<const char*, QCheckBox*>> items_;
};

// What a greeting or a farewell does.
struct MessageAction {
    QString text;
    bool playSound = false;
    QString soundFile;
};

// "Greeting Message Dialog" / "Farewell Message Dialog".
class CMessageDlg : public QDialog {
    Q_OBJECT
public:
    CMessageDlg(QWidget* parent, bool greeting, const MessageAction& action, bool local);
    MessageAction action() const;

private:
    void UpdateControls();

    QPlainTextEdit* text_;
    QString original_;  // the text as it came, given back while not edited
    QCheckBox* play_;
    QLineEdit* file_;
    QPushButton *browse_, *default_, *test_;
    bool local_;
};

// "Messages": greeting and farewell, MESSAGE.FTP.
class CMessagePage : public CCtxPage {
    Q_OBJECT
public:
    explicit CMessagePage(SheetContext& context);
    void Read() override;
    bool Apply() override;

    MessageAction greeting() const { return greeting_; }
    MessageAction farewell() const { return farewell_; }
    // What OK of the message dialog does.
    void SetAction(bool greeting, const MessageAction& action);
    // The summary under a frame ("Display greeting message.\nPlay no sound.").
    static QString Summary(bool greeting, const MessageAction& action);

private:
    void Write() override;
    void Edit(bool greeting);
    void UpdateSummaries();

    MessageAction greeting_, farewell_;
    QLabel *greetSummary_, *byeSummary_;
    QCheckBox* messageFtp_;
};

// "Network": default access, the host list of the other kind, name lookup.
class CNetPage : public CCtxPage {
    Q_OBJECT
public:
    explicit CNetPage(SheetContext& context);
    void Read() override;
    bool Apply() override;
    void Activated() override;

    // Adds the entry field's text by the rules of the list (asks, rewrites
    // ranges, skips duplicates).
    void OnAdd();
    void OnDelete();
    QStringList entries() const;

private:
    void Write() override;
    void OnDefaultChanged();
    void ShowList(bool allowAll);
    void StoreShown();
    void UpdateControls();

    QRadioButton *deny_, *allow_;
    QListWidget* list_;
    QLineEdit* entry_;
    QPushButton *add_, *delete_;
    QCheckBox *waitForName_, *verify_;
    std::vector<std::string> allowThese_, denyThese_;
    bool shownAllowAll_ = true;
    bool warnPending_ = false;
};

// "Conversions": named conversions and the details of the selected one.
class CConversionsPage : public CCtxPage {
    Q_OBJECT
public:
    explicit CConversionsPage(SheetContext& context);
    void Read() override;
    bool Apply() override;

    // Adds an empty conversion of a name not in use and selects it.
    bool AddConversion(const QString& name);
    void RenameSelected(const QString& name);
    void OnNew();
    void OnRename();
    void OnDelete();
    QStringList names() const;

private:
    struct Entry {
        QString name;
        ConversionFields fields;
        // The value as read: written back as it was unless its fields were
        // edited, so one the service ignores (a field too many, flags that
        // are not a number) is not made into one it runs.
        std::string stored;
    };
    void Select(int row);
    void ShowDetails();
    void StoreDetails();
    bool InUse(const QString& name) const;
    // The naming dialog; false on Cancel.
    bool AskName(QString& name);
    // Asks until the name is one not in use (usedText says so); false on Cancel.
    bool AskFreeName(QString& name, const char* usedText);

    std::vector<Entry> conversions_;
    int shown_ = -1;
    QListWidget* list_;
    QPushButton *new_, *rename_, *delete_;
    QGroupBox* details_;
    QLineEdit *reqPrefix_, *reqSuffix_, *localPrefix_, *localSuffix_, *command_;
    QCheckBox *ascii_, *binary_, *files_, *dirs_;
};

// "Advanced": the passive port range and the data connection checks.
class CAdvPage : public CCtxPage {
    Q_OBJECT
public:
    explicit CAdvPage(SheetContext& context);
    void Read() override;
    // A changed range of one port, or a changed static address the service
    // cannot use, is refused.
    bool Validate() override;
    bool Apply() override;

signals:
    void helpRequested(const QString& topic);

private:
    void Write() override;
    void UpdateControls();
    void NoteChecked();
    bool RangeChanged() const;

    QCheckBox *range_, *random_, *lowPorts_, *backPort_;
    QSpinBox *low_, *high_, *maxHacks_;
    QLineEdit* staticIp_;
    QString lastIp_;
    // The range and address as read or last applied (NoteChecked): only
    // what the administrator changes is checked.
    bool readRange_ = false;
    int readLow_ = 0, readHigh_ = 0;
    QString readIp_;
};

// "TLS / SSL": the server certificate and what needs TLS.
class CTlsPage : public CCtxPage {
    Q_OBJECT
public:
    explicit CTlsPage(SheetContext& context);
    void Read() override;
    bool Apply() override;

    // The display name of a certificate: its subject's common name, else the
    // whole subject.
    static QString DisplayName(const std::string& subject);

private:
    void Write() override;
    void ListStore(const std::string& keepHash, bool keepMissing);
    void OnCertificateChosen();
    void OnRequireClicked(QCheckBox* box);
    std::string chosenHash() const;
    void UpdateControls();

    QRadioButton *serviceStore_, *machineStore_;
    QComboBox* certificate_;
    QCheckBox *forbidUser_, *forbidData_, *implicit_;
    QLineEdit* ftpsPort_;
    QRadioButton *ignore_, *accept_, *require_;
    QCheckBox *map_, *reject_;
};

}  // namespace orvyn::applet
