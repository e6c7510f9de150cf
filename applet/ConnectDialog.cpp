#include "applet/ConnectDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace orvyn::applet {

CConnectDialog::CConnectDialog(const QString& current, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Select Computer");
    auto* text = new QLabel("Select the computer you want this applet to manage.", this);
    auto* frame = new QGroupBox("This applet will manage:", this);
    local_ = new QRadioButton("&Local computer: (the computer this applet is running on)", frame);
    another_ = new QRadioButton("&Another computer:", frame);
    name_ = new QLineEdit(current, frame);
    name_->setObjectName("ComputerName");
    name_->setMaxLength(255);
    name_->setPlaceholderText("host or user@host");
    auto* grid = new QGridLayout(frame);
    grid->addWidget(local_, 0, 0, 1, 2);
    grid->addWidget(another_, 1, 0);
    grid->addWidget(name_, 1, 1);
    grid->setColumnStretch(1, 1);
    (current.isEmpty() ? local_ : another_)->setChecked(true);

    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(buttons, &QDialogButtonBox::helpRequested, this, &CConnectDialog::helpRequested);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(local_, &QRadioButton::toggled, this, [this] { UpdateControls(); });
    connect(name_, &QLineEdit::textChanged, this, [this] { UpdateControls(); });
    connect(name_, &QLineEdit::textEdited, this, [this] { another_->setChecked(true); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(frame);
    layout->addWidget(buttons);
    resize(460, sizeHint().height());
    okButton_ = buttons->button(QDialogButtonBox::Ok);
    UpdateControls();
}

QString CConnectDialog::computer() const { return another_->isChecked() ? name_->text().trimmed() : QString(); }

void CConnectDialog::UpdateControls() {
    // Another computer needs a name.
    okButton_->setEnabled(local_->isChecked() || !name_->text().trimmed().isEmpty());
}

}  // namespace orvyn::applet
