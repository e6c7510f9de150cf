#include "applet/SetPassDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvyn::applet {

namespace {
QLineEdit* PasswordField(QWidget* parent, const char* name) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setEchoMode(QLineEdit::Password);
    field->setMaxLength(CSetPassDlg::kMaxPassword);
    return field;
}

// Overwrites the characters a field holds before its text is released.
void Wipe(QLineEdit* field) {
    QString text = field->text();
    text.fill(QChar(' '));
    field->setText(text);
    field->clear();
}
}  // namespace

CSetPassDlg::CSetPassDlg(QWidget* parent, const QString& caption) : QDialog(parent) {
    setWindowTitle(caption.isEmpty() ? QString("Set user password") : caption);
    enter_ = PasswordField(this, "EnterPassword");
    verify_ = PasswordField(this, "VerifyPassword");
    auto* form = new QFormLayout;
    form->addRow("&Enter Password:", enter_);
    form->addRow("&Verify Password:", verify_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(enter_, &QLineEdit::textChanged, this, &CSetPassDlg::UpdateOk);
    connect(verify_, &QLineEdit::textChanged, this, &CSetPassDlg::UpdateOk);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    UpdateOk();
}

CSetPassDlg::~CSetPassDlg() {
    Wipe(enter_);
    Wipe(verify_);
}

QString CSetPassDlg::password() const { return enter_->text(); }

void CSetPassDlg::UpdateOk() { ok_->setEnabled(enter_->text() == verify_->text()); }

}  // namespace orvyn::applet
