#include "applet/NewUserDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvyn::applet {

CNewUserDlg::CNewUserDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Create New User");
    name_ = new QLineEdit(this);
    name_->setObjectName("UserName");
    name_->setMaxLength(kMaxName);
    name_->setMinimumWidth(240);
    auto* form = new QFormLayout;
    form->addRow("User &name:", name_);
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, &CNewUserDlg::helpRequested);
    connect(name_, &QLineEdit::textChanged, this, [this] { ok_->setEnabled(!name().isEmpty()); });
    ok_->setEnabled(false);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

QString CNewUserDlg::name() const { return name_->text().trimmed(); }

}  // namespace orvyn::applet
