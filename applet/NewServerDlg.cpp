#include "applet/NewServerDlg.h"
#include "applet/StoreText.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/Prompt.h"
#include "applet/ServerKeys.h"

namespace orvyn::applet {

namespace {

const char* const kCannotCreate =
    "Cannot create server - either a server already\nexists with that name, or is listening at that address\n"
    "and port combination or there was an error\nopening or writing to the registry.";
const char* const kHelpTopic = "newserver";

QLineEdit* Field(QWidget* parent, const char* name, const QString& text) {
    auto* field = new QLineEdit(text, parent);
    field->setObjectName(name);
    field->setMinimumWidth(260);
    return field;
}

}  // namespace

CNewServerDlg::CNewServerDlg(COrvynCplApp& app, IPrompt& prompt, QWidget* parent, Purpose purpose,
                             const QString& importFile)
    : QDialog(parent), app_(app), prompt_(prompt), purpose_(purpose) {
    setWindowTitle("Create Server");
    name_ = Field(this, "ServerName", {});
    address_ = Field(this, "ServerAddress", "0.0.0.0");
    port_ = Field(this, "ServerPort", "ftp");
    name_->setMaxLength(255);
    address_->setMaxLength(64);
    port_->setMaxLength(19);
    // Kept from the dialog's design: an alias field that is never offered.
    auto* alias = Field(this, "AliasFor", {});
    auto* aliasLabel = new QLabel("Server this is an alias for:", this);
    alias->setEnabled(false);
    alias->hide();
    aliasLabel->hide();

    auto* form = new QFormLayout;
    form->addRow("&Name this server:", name_);
    form->addRow("Listen at &address:", address_);
    form->addRow("&Port:", port_);

    hint_ = new QLabel(this);
    hint_->setObjectName("Hint");
    hint_->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &CNewServerDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, &CNewServerDlg::ShowHelp);
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this, &CNewServerDlg::ShowHelp);

    auto* layout = new QVBoxLayout(this);
    if (purpose_ == Purpose::Import) {
        auto* from = new QLabel(QString("Importing <b>%1</b>.<br>Name the server it goes into; the address and "
                                        "port the file holds replace the ones given here.")
                                    .arg(QFileInfo(importFile).fileName().toHtmlEscaped()),
                                this);
        from->setWordWrap(true);
        layout->addWidget(from);
    }
    layout->addLayout(form);
    layout->addWidget(aliasLabel);
    layout->addWidget(alias);
    layout->addWidget(hint_);
    layout->addStretch(1);
    layout->addWidget(buttons);

    for (QLineEdit* field : {name_, address_, port_})
        connect(field, &QLineEdit::textChanged, this, &CNewServerDlg::Validate);
    Validate();
}

QString CNewServerDlg::name() const { return name_->text(); }
QString CNewServerDlg::address() const { return address_->text(); }
QString CNewServerDlg::port() const { return port_->text(); }
QString CNewServerDlg::hint() const { return hint_->text(); }

void CNewServerDlg::Validate() {
    const std::string name = ToStoreText(name_->text());
    QString problem, note;
    bool nameOk = IsServerName(name);
    existing_ = false;
    if (!name.empty() && !nameOk) {
        problem = "A server name cannot contain \"\\\".";
    } else if (nameOk) {
        const reg::Status st = app_.store().KeyExists(ServerKey(name));
        if (st.ok()) {
            existing_ = true;
            nameOk = purpose_ == Purpose::Import;
            if (nameOk)
                note = "A server of that name exists: you will be asked whether to overwrite it.";
            else
                problem = "A server of that name already exists.";
        } else if (st.code != reg::kNotFound) {
            nameOk = false;
            problem = "Unable to write to registry";
        }
    }
    const bool addressOk = IsValidAddress(ToStoreText(address_->text()));
    const bool portOk = IsValidPort(ToStoreText(port_->text()));
    if (problem.isEmpty() && !addressOk && !address_->text().isEmpty())
        problem = "The address is a host name, or four numbers below 256 separated by dots (without leading zeros).";
    if (problem.isEmpty() && !portOk && !port_->text().isEmpty())
        problem = "The port is a number, or the name of a service such as ftp.";
    QPalette palette = hint_->palette();
    palette.setColor(QPalette::WindowText, problem.isEmpty() ? palette.color(QPalette::Text) : QColor(160, 0, 0));
    hint_->setPalette(palette);
    hint_->setText(problem.isEmpty() ? note : problem);
    hint_->setVisible(!hint_->text().isEmpty());
    ok_->setEnabled(nameOk && addressOk && portOk);
}

void CNewServerDlg::accept() {
    Validate();
    if (!ok_->isEnabled())
        return;
    if (purpose_ == Purpose::Import && existing_) {
        QDialog::accept();
        return;
    }
    if (!CreateServer(app_.store(), ToStoreText(name()), ToStoreText(address()), ToStoreText(port()))) {
        prompt_.Tell(kCannotCreate, windowTitle(), IPrompt::Icon::Warning);
        Validate();
        return;
    }
    QDialog::accept();
}

void CNewServerDlg::ShowHelp() {
    CHelpWindow::Of(this).ShowTopic(kHelpTopic);
}

}  // namespace orvyn::applet
