#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>

#include "applet/StoreText.h"
#include "applet/sheet/Pages.h"
#include "service/transfer/data/PassiveReplies.h"

namespace orvyn::applet {

namespace {
const char* const kWriteFailed = "Unable to write settings to registry.";
const char* const kOnePortRange =
    "A passive port range needs a highest port above the lowest port.\nWith both the same the server ignores the "
    "range and may use any port.";
const char* const kBadStaticIp =
    "The static IP address must be an IPv4 address of four numbers from 0 to 255 separated by dots, without leading "
    "zeros (for example 192.168.1.5), or empty.\nThe server ignores any other address.";

bool DigitsAndDots(const QString& text) {
    for (QChar c : text)
        if (!c.isDigit() && c != '.')
            return false;
    return true;
}
}  // namespace

CAdvPage::CAdvPage(SheetContext& context) : CCtxPage(context, "Security", "Advanced", "sheet-advanced") {
    auto* pasv = new QGroupBox("Passive (PASV) data connections", this);
    range_ = new QCheckBox("&Choose from range", pasv);
    range_->setObjectName("ChooseFromRange");
    low_ = new QSpinBox(pasv);
    low_->setObjectName("LowPort");
    high_ = new QSpinBox(pasv);
    high_->setObjectName("HighPort");
    for (QSpinBox* b : {low_, high_})
        b->setRange(0, 65535);
    random_ = new QCheckBox("Choose at &Random", pasv);
    random_->setObjectName("RandomPorts");
    staticIp_ = new QLineEdit(pasv);
    staticIp_->setObjectName("PASVStaticIP");
    staticIp_->setMaxLength(64);
    staticIp_->setMinimumWidth(160);
    auto* pasvForm = new QFormLayout(pasv);
    pasvForm->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    pasvForm->addRow(range_);
    pasvForm->addRow("&Lowest port in range:", low_);
    pasvForm->addRow("&Highest port in range:", high_);
    pasvForm->addRow(random_);
    pasvForm->addRow("&Static IP address to use in PASV response:", staticIp_);

    lowPorts_ = new QCheckBox("Do not connect to \"well-known\" &port numbers", this);
    lowPorts_->setObjectName("DisableLowPorts");
    backPort_ = new QCheckBox("Disable \"pro&xy\" data connections", this);
    backPort_->setObjectName("RequireBackPort");
    maxHacks_ = new QSpinBox(this);
    maxHacks_->setObjectName("MaxHacks");
    maxHacks_->setRange(0, INT_MAX);
    auto* more = new QPushButton("&More About ORVYN Security...", this);
    more->setObjectName("MoreAboutSecurity");
    auto* hacks = new QFormLayout;
    hacks->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    hacks->addRow("Maximum number of &Failed logins:", maxHacks_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pasv);
    layout->addWidget(lowPorts_);
    layout->addWidget(backPort_);
    layout->addLayout(hacks);
    auto* moreRow = new QHBoxLayout;
    moreRow->addStretch();
    moreRow->addWidget(more);
    layout->addLayout(moreRow);
    layout->addStretch();

    connect(range_, &QCheckBox::clicked, this, &CAdvPage::UpdateControls);
    connect(more, &QPushButton::clicked, this, [this] { emit helpRequested("orvyn-security"); });
    // Only digits and dots: anything else puts the previous text back.
    connect(staticIp_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (DigitsAndDots(text)) {
            lastIp_ = text;
            return;
        }
        QApplication::beep();
        staticIp_->setText(lastIp_);
    });
}

void CAdvPage::Read() {
    const long low = Int("LowPort", 0);
    range_->setChecked(low != 0);
    low_->setValue(static_cast<int>(std::clamp<long>(low, 0, 65535)));
    high_->setValue(low != 0 ? static_cast<int>(std::clamp<long>(Int("HighPort", 0), 0, 65535)) : 0);
    random_->setChecked(Flag("RandomPorts", false));
    lastIp_ = Text("PASVStaticIP", "").left(64);
    staticIp_->setText(lastIp_);
    lowPorts_->setChecked(Flag("DisableLowPorts", true));
    backPort_->setChecked(ReadRequireBackPort(registry()));
    maxHacks_->setValue(static_cast<int>(std::clamp<long>(Int("MaxHacks", 5), 0, INT_MAX)));
    UpdateControls();
    NoteChecked();
}

void CAdvPage::NoteChecked() {
    readRange_ = range_->isChecked();
    readLow_ = low_->value();
    readHigh_ = high_->value();
    readIp_ = staticIp_->text();
}

bool CAdvPage::RangeChanged() const {
    return range_->isChecked() != readRange_ || low_->value() != readLow_ || high_->value() != readHigh_;
}

bool CAdvPage::Validate() {
    auto refuse = [this](const char* text, QWidget* field) {
        Tell(text);
        QTimer::singleShot(0, field, [field] { field->setFocus(); });
        return false;
    };
    if (RangeChanged() && range_->isChecked() && low_->value() != 0 && high_->value() == low_->value())
        return refuse(kOnePortRange, high_);
    // The service's own reading of the address decides what it can use.
    const QString ip = staticIp_->text();
    if (ip != readIp_ && !ip.isEmpty() && !ParseStaticIp(ToStoreText(ip)))
        return refuse(kBadStaticIp, staticIp_);
    return true;
}

void CAdvPage::UpdateControls() {
    for (QWidget* w : {static_cast<QWidget*>(low_), static_cast<QWidget*>(high_), static_cast<QWidget*>(random_),
                       static_cast<QWidget*>(staticIp_)}) {
        w->setEnabled(range_->isChecked());
        if (auto* form = qobject_cast<QFormLayout*>(w->parentWidget()->layout()))
            if (QWidget* label = form->labelForField(w))
                label->setEnabled(range_->isChecked());
    }
}

bool CAdvPage::Apply() {
    if (!BeginWrite(kWriteFailed))
        return true;
    Write();
    EndWrite(kWriteFailed);
    NoteChecked();
    return true;
}

void CAdvPage::Write() {
    // A range the administrator changed is stored in full, both ports 0
    // when it is off or reversed.
    if (RangeChanged()) {
        Rewrite("LowPort");
        Rewrite("HighPort");
    }
    const bool range = range_->isChecked() && high_->value() >= low_->value();
    PutInt("LowPort", range ? low_->value() : 0);
    PutInt("HighPort", range ? high_->value() : 0);
    PutCheck("RandomPorts", random_);
    PutText("PASVStaticIP", staticIp_->text());
    PutCheck("DisableLowPorts", lowPorts_);
    PutCheck("RequireBackPort", backPort_);
    PutInt("MaxHacks", maxHacks_->value());
}

}  // namespace orvyn::applet
