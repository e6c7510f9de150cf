#include <QCheckBox>
#include "applet/StoreText.h"
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "applet/CplApp.h"
#include "applet/ServerList.h"
#include "applet/sheet/Pages.h"

namespace orvyn::applet {

namespace {
const char* const kWriteFailed = "Unable to write to registry";
const char* const kNumericListed =
    "This list of addresses contains some entries that contain wild-cards and numeric addresses.\nThis is no longer "
    "recommended as a method of listing IP address ranges.  Please use CIDR format (#.#.#.#/#) instead.\n";
const char* const kNumericWildcard =
    "We recommend not using numeric wild-card matches of this form, as it can be subverted.\nInstead, please use the "
    "CIDR format, \"#.#.#.#/#\".\nDo you still want to add this entry?";

bool LessNoCase(const std::string& a, const std::string& b) { return CompareTextNoCase(a, b) < 0; }

bool HasNumericEntry(const QStringList& entries) {
    return std::any_of(entries.begin(), entries.end(), [](const QString& e) { return IsNumericPattern(ToStoreText(e)); });
}
}  // namespace

CNetPage::CNetPage(SheetContext& context) : CCtxPage(context, "Hosts", "Network", "sheet-network") {
    auto* access = new QGroupBox("Default Access Control", this);
    deny_ = new QRadioButton("&Deny", access);
    deny_->setObjectName("Deny");
    allow_ = new QRadioButton("&Allow", access);
    allow_->setObjectName("Allow");
    auto* accessRow = new QHBoxLayout(access);
    accessRow->addWidget(deny_);
    accessRow->addWidget(allow_);
    accessRow->addStretch();

    list_ = new QListWidget(this);
    list_->setObjectName("HostList");
    entry_ = new QLineEdit(this);
    entry_->setObjectName("HostEntry");
    entry_->setProperty("notAValue", true);
    add_ = new QPushButton("<- Add <-", this);
    add_->setObjectName("AddHost");
    delete_ = new QPushButton("-> Delete ->", this);
    delete_->setObjectName("DeleteHost");
    auto* hint = new QLabel("(Enter a string to match against the name, or a net range in a.b.c.d/e form)", this);
    hint->setWordWrap(true);
    auto* buttons = new QVBoxLayout;
    buttons->addStretch();
    buttons->addWidget(add_);
    buttons->addWidget(delete_);
    buttons->addStretch();
    auto* right = new QVBoxLayout;
    right->addStretch();
    right->addWidget(entry_);
    right->addWidget(hint);
    right->addStretch();
    auto* hosts = new QHBoxLayout;
    hosts->addWidget(list_, 1);
    hosts->addLayout(buttons);
    hosts->addLayout(right, 1);

    waitForName_ = new QCheckBox("Resolve IP -> Name before allowing connection", this);
    waitForName_->setObjectName("WaitForName");
    verify_ = new QCheckBox("Verify IP -> Name -> IP before allowing connection", this);
    verify_->setEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(access);
    layout->addLayout(hosts, 1);
    layout->addWidget(waitForName_);
    layout->addWidget(verify_);

    connect(allow_, &QRadioButton::toggled, this, &CNetPage::OnDefaultChanged);
    connect(add_, &QPushButton::clicked, this, &CNetPage::OnAdd);
    connect(entry_, &QLineEdit::returnPressed, this, &CNetPage::OnAdd);
    connect(delete_, &QPushButton::clicked, this, &CNetPage::OnDelete);
    connect(list_, &QListWidget::itemSelectionChanged, this, &CNetPage::UpdateControls);
}

void CNetPage::Read() {
    reg::IStore& store = context().app.store();
    auto load = [&](const char* subkey, std::vector<std::string>& out) {
        out.clear();
        const std::string k = key() + "\\" + subkey;
        std::vector<std::string> names;
        store.EnumSubkeys(k, names);
        std::vector<reg::Value> values;
        store.EnumValues(k, values);
        for (auto& v : values)
            names.push_back(v.name);
        for (auto& n : names)
            if (!n.empty() && std::none_of(out.begin(), out.end(),
                                           [&](const std::string& e) { return CompareTextNoCase(e, n) == 0; }))
                out.push_back(n);
        std::sort(out.begin(), out.end(), LessNoCase);
    };
    load("AllowThese", allowThese_);
    load("DenyThese", denyThese_);
    const bool allowAll = Flag("AllowAll", true);
    shownAllowAll_ = allowAll;
    {
        const QSignalBlocker block(allow_);
        (allowAll ? allow_ : deny_)->setChecked(true);
    }
    waitForName_->setChecked(Flag("WaitForName", false));
    ShowList(allowAll);
    warnPending_ = HasNumericEntry(entries());
    UpdateControls();
}

void CNetPage::Activated() {
    if (!warnPending_)
        return;
    warnPending_ = false;
    Tell(kNumericListed);
}

QStringList CNetPage::entries() const {
    QStringList out;
    for (int i = 0; i < list_->count(); ++i)
        out << list_->item(i)->text();
    return out;
}

void CNetPage::ShowList(bool allowAll) {
    // Allow by default: the list names who is denied, and the other way.
    const auto& shown = allowAll ? denyThese_ : allowThese_;
    list_->clear();
    for (const auto& e : shown)
        list_->addItem(FromStoreText(e));
    shownAllowAll_ = allowAll;
    UpdateControls();
}

void CNetPage::StoreShown() {
    auto& shown = shownAllowAll_ ? denyThese_ : allowThese_;
    shown.clear();
    for (const QString& e : entries())
        shown.push_back(ToStoreText(e));
}

void CNetPage::OnDefaultChanged() {
    const bool allowAll = allow_->isChecked();
    if (allowAll == shownAllowAll_)
        return;
    StoreShown();
    ShowList(allowAll);
    setModified();
    if (HasNumericEntry(entries()))
        Tell(kNumericListed);
}

void CNetPage::OnAdd() {
    std::string entry = ToStoreText(entry_->text().trimmed());
    if (entry.empty())
        return;
    if (IsNumericPattern(entry) && entry.find('*') != std::string::npos && !AskYesNo(kNumericWildcard))
        return;
    if (entry.find('/') != std::string::npos) {
        const auto range = NetworkRange(entry);
        if (!range) {
            Tell(QString("\"%1\" is not a network range: enter it as a.b.c.d/e or as an IPv6 address and prefix.")
                     .arg(FromStoreText(entry)));
            return;
        }
        entry = *range;
    }
    StoreShown();
    auto& shown = shownAllowAll_ ? denyThese_ : allowThese_;
    const QString text = FromStoreText(entry);
    if (std::none_of(shown.begin(), shown.end(), [&](const std::string& e) { return CompareTextNoCase(e, entry) == 0; })) {
        shown.insert(std::upper_bound(shown.begin(), shown.end(), entry, LessNoCase), entry);
        ShowList(shownAllowAll_);
        setModified();
        entry_->clear();
    }
    for (int i = 0; i < list_->count(); ++i)
        if (list_->item(i)->text().compare(text, Qt::CaseInsensitive) == 0)
            list_->setCurrentRow(i);
}

void CNetPage::OnDelete() {
    const int row = list_->currentRow();
    if (row < 0 || !list_->item(row)->isSelected())
        return;
    delete list_->takeItem(row);
    list_->clearSelection();
    list_->setCurrentRow(-1);
    StoreShown();
    setModified();
    UpdateControls();
}

void CNetPage::UpdateControls() { delete_->setEnabled(!list_->selectedItems().isEmpty()); }

bool CNetPage::Apply() {
    if (!BeginWrite(kWriteFailed))
        return false;
    StoreShown();
    Write();
    // The lists are written afresh, in full.
    reg::IStore& store = context().app.store();
    const auto one = reg::DwordData(1);
    for (const auto& [subkey, list] : {std::pair<const char*, const std::vector<std::string>*>{"DenyThese", &denyThese_},
                                       {"AllowThese", &allowThese_}}) {
        const std::string k = key() + "\\" + subkey;
        const reg::Status gone = store.DeleteTree(k);
        if ((!gone.ok() && gone.code != reg::kNotFound) || !store.CreateKey(k).ok()) {
            Failed();
            continue;
        }
        for (const auto& e : *list)
            PutTo(k, e.c_str(), reg::REG_DWORD, one);
    }
    EndWrite(kWriteFailed);
    return false;
}

void CNetPage::Write() {
    PutInt("AllowAll", allow_->isChecked() ? 1 : 0);
    PutCheck("WaitForName", waitForName_);
}

}  // namespace orvyn::applet
