#include <QComboBox>
#include "applet/StoreText.h"
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <cstring>
#include <tuple>

#include "applet/CplApp.h"
#include "applet/ServerList.h"
#include "applet/sheet/Pages.h"

namespace orvyn::applet {

namespace {
const char* const kWriteFailed = "Unable to write to the registry";
const char* const kReadFailed = "Unable to read from the registry";
const char* const kRenameRefused =
    "Renaming servers from this dialog is not supported.\nYou may rename this server from the main dialog.";
}  // namespace

CGeneralPage::CGeneralPage(SheetContext& context) : CCtxPage(context, nullptr, "General", "sheet-general") {
    name_ = new QLineEdit(this);
    name_->setObjectName("ServerName");
    address_ = new QLineEdit(this);
    address_->setObjectName("Address");
    address_->setMaxLength(64);
    port_ = new QLineEdit(this);
    port_->setObjectName("Port");
    port_->setMaxLength(19);
    email_ = new QLineEdit(this);
    email_->setObjectName("Email");
    auto* alias = new QComboBox(this);
    alias->setObjectName("AliasFor");
    alias->setEnabled(false);

    auto* form = new QFormLayout;
    form->addRow("Server's Name:", name_);
    form->addRow("Listen at IP &address:", address_);
    form->addRow("&Port:", port_);
    form->addRow("Contact &Email:", email_);
    form->addRow("Alias For:", alias);

    auto* statusBox = new QGroupBox("Status", this);
    status_ = new QLabel(statusBox);
    status_->setObjectName("CurrentStatus");
    description_ = new QLabel(statusBox);
    description_->setObjectName("StatusDescription");
    description_->setWordWrap(true);
    description_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    description_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* statusForm = new QFormLayout(statusBox);
    statusForm->addRow("Current Status:", status_);
    statusForm->addRow("Status Description:", description_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(statusBox);
    layout->addStretch();
}

void CGeneralPage::Read() {
    reg::IStore& store = context().app.store();
    const QString name = FromStoreText(context().server);
    name_->setText(name);
    if (!store.KeyExists(key()).ok())
        Tell(kReadFailed);
    const ServerRecord record = ReadServerRecord(store, context().server);
    address_->setText(FromStoreText(record.address));
    port_->setText(FromStoreText(record.port));
    // An expandable text is edited as written, %NAME% and all, and kept so.
    for (auto [name, field, expandable] : {std::tuple{"Address", address_, &expandAddress_},
                                           std::tuple{"Port", port_, &expandPort_}}) {
        reg::Value v;
        *expandable = store.QueryValue(key(), name, v).ok() && v.type == reg::REG_EXPAND_SZ;
        if (*expandable)
            field->setText(FromStoreText(
                std::string(reinterpret_cast<const char*>(v.data.data()),
                            strnlen(reinterpret_cast<const char*>(v.data.data()), v.data.size()))));
    }
    email_->setText(Text("Email", ""));

    const bool running = IsServerRunning(store, context().server, context().app.service().QueryState());
    QString status, description;
    if (running) {
        status = "Running";
        description = "This server is running, with no major problems observed at present.";
    } else if (record.failed) {
        status = "Fatal error";
        description = "This server is set up to run, but failed to start.  The server reported the following as "
                      "its error description:\r\n" +
                      Text("Fatal Error", "");
    } else if (record.enabled) {
        status = "Paused";
        description = "This server is ready to run when the ORVYN Pro service has been started again.";
    } else {
        status = "Stopped";
        description = "This server has been stopped, and will try to start when you press the \"Start\" button at "
                      "the main dialog.";
    }
    status_->setText(status);
    description_->setText(QString(description).replace("\r\n", "\n"));
    for (QLineEdit* field : {name_, address_, port_})
        field->setEnabled(!running);
}

bool CGeneralPage::Apply() {
    const QString name = FromStoreText(context().server);
    if (name_->text() != name) {
        Tell(kRenameRefused, IPrompt::Icon::Information);
        name_->setText(name);
    }
    if (!BeginWrite(kWriteFailed))
        return false;
    Write();
    EndWrite(kWriteFailed);
    return false;
}

void CGeneralPage::Write() {
    for (auto [name, field, expandable] : {std::tuple{"Address", address_, expandAddress_},
                                           std::tuple{"Port", port_, expandPort_}}) {
        const std::string text = ToStoreText(field->text().trimmed());
        PutTo(key(), name, expandable ? reg::REG_EXPAND_SZ : reg::REG_SZ, reg::StringData(text));
    }
    PutText("Email", email_->text());
}

}  // namespace orvyn::applet
