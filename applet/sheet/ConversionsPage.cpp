#include <QCheckBox>
#include "applet/StoreText.h"
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "applet/CplApp.h"
#include "applet/sheet/Pages.h"

namespace orvyn::applet {

namespace {
const char* const kWriteFailed = "Unable to write to the registry.";
const char* const kReadFailed = "Unable to read from the registry";
const char* const kNameUsed = "That name has already been used - please choose another or cancel.";
const char* const kRenameUsed = "Please enter a conversion name that isn't already in use.";

QLineEdit* Field(QWidget* parent, const char* name) {
    auto* f = new QLineEdit(parent);
    f->setObjectName(name);
    return f;
}
}  // namespace

CConversionsPage::CConversionsPage(SheetContext& context)
    : CCtxPage(context, "Conversions", "Conversions", "sheet-conversions") {
    list_ = new QListWidget(this);
    list_->setObjectName("ConversionList");
    new_ = new QPushButton("&New", this);
    rename_ = new QPushButton("&Rename", this);
    delete_ = new QPushButton("&Delete", this);
    auto* listButtons = new QHBoxLayout;
    for (QPushButton* b : {new_, rename_, delete_})
        listButtons->addWidget(b);
    auto* left = new QVBoxLayout;
    left->addWidget(list_, 1);
    left->addLayout(listButtons);

    details_ = new QGroupBox(this);
    reqPrefix_ = Field(details_, "RequestedPrefix");
    reqSuffix_ = Field(details_, "RequestedSuffix");
    localPrefix_ = Field(details_, "LocalPrefix");
    localSuffix_ = Field(details_, "LocalSuffix");
    command_ = Field(details_, "Command");
    ascii_ = new QCheckBox("ASCII", details_);
    binary_ = new QCheckBox("Binary", details_);
    files_ = new QCheckBox("Files", details_);
    dirs_ = new QCheckBox("Directories", details_);
    auto affixRow = [this](QLineEdit* prefix, QLineEdit* suffix) {
        auto* row = new QHBoxLayout;
        row->addWidget(prefix);
        row->addWidget(new QLabel("<base-filename>", details_));
        row->addWidget(suffix);
        return row;
    };
    auto* d = new QVBoxLayout(details_);
    d->addWidget(new QLabel("If the remote client requests to GET a file of the form", details_));
    d->addLayout(affixRow(reqPrefix_, reqSuffix_));
    d->addWidget(new QLabel("And there is a local file of the form", details_));
    d->addLayout(affixRow(localPrefix_, localSuffix_));
    auto* modes = new QGridLayout;
    modes->addWidget(new QLabel("Work in these modes:", details_), 0, 0);
    modes->addWidget(ascii_, 0, 1);
    modes->addWidget(binary_, 0, 2);
    modes->addWidget(new QLabel("Convert items that are:", details_), 1, 0);
    modes->addWidget(files_, 1, 1);
    modes->addWidget(dirs_, 1, 2);
    d->addLayout(modes);
    d->addWidget(new QLabel("Then send the output of this command instead:", details_));
    d->addWidget(command_);
    d->addWidget(new QLabel("(Use %s to replace the local file's name)", details_));
    d->addStretch();
    // Tab goes down the page as it reads.
    QWidget* const order[] = {localSuffix_, ascii_, binary_, files_, dirs_, command_};
    for (size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 2);
    layout->addWidget(details_, 5);

    connect(list_, &QListWidget::currentRowChanged, this, &CConversionsPage::Select);
    connect(new_, &QPushButton::clicked, this, &CConversionsPage::OnNew);
    connect(rename_, &QPushButton::clicked, this, &CConversionsPage::OnRename);
    connect(delete_, &QPushButton::clicked, this, &CConversionsPage::OnDelete);
}

void CConversionsPage::Read() {
    conversions_.clear();
    std::vector<reg::Value> values;
    const reg::Status s = context().app.store().EnumValues(key(), values);
    if (!s.ok() && s.code != reg::kNotFound)
        Tell(kReadFailed);
    for (const reg::Value& v : values) {
        // The service reads conversions as REG_SZ only: a value of another
        // type (expandable text too) is no conversion of the page and stays
        // as it is.
        if (v.type != reg::REG_SZ)
            continue;
        const std::string text(reinterpret_cast<const char*>(v.data.data()),
                               strnlen(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
        if (text.empty() || v.name.empty())
            continue;
        conversions_.push_back({FromStoreText(v.name), SplitConversion(text), text});
    }
    shown_ = -1;
    const QSignalBlocker block(list_);
    list_->clear();
    for (const Entry& e : conversions_)
        list_->addItem(e.name);
    Select(conversions_.empty() ? -1 : 0);
}

QStringList CConversionsPage::names() const {
    QStringList out;
    for (const Entry& e : conversions_)
        out << e.name;
    return out;
}

bool CConversionsPage::InUse(const QString& name) const {
    for (const Entry& e : conversions_)
        if (e.name.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

void CConversionsPage::Select(int row) {
    StoreDetails();
    shown_ = row >= 0 && row < static_cast<int>(conversions_.size()) ? row : -1;
    if (list_->currentRow() != shown_) {
        const QSignalBlocker block(list_);
        list_->setCurrentRow(shown_);
    }
    ShowDetails();
}

void CConversionsPage::ShowDetails() {
    const bool any = shown_ >= 0;
    details_->setEnabled(any);
    rename_->setEnabled(any);
    delete_->setEnabled(any);
    const ConversionFields c = any ? conversions_[shown_].fields : ConversionFields{};
    details_->setTitle(any ? "Conversion '" + conversions_[shown_].name + "'" : QString());
    reqPrefix_->setText(FromStoreText(c.requestedPrefix));
    reqSuffix_->setText(FromStoreText(c.requestedSuffix));
    localPrefix_->setText(FromStoreText(c.localPrefix));
    localSuffix_->setText(FromStoreText(c.localSuffix));
    command_->setText(FromStoreText(c.command));
    files_->setChecked(c.mode & 1);
    dirs_->setChecked(c.mode & 2);
    binary_->setChecked(c.mode & 4);
    ascii_->setChecked(c.mode & 8);
}

void CConversionsPage::StoreDetails() {
    if (shown_ < 0 || shown_ >= static_cast<int>(conversions_.size()))
        return;
    ConversionFields& c = conversions_[shown_].fields;
    c.requestedPrefix = ToStoreText(reqPrefix_->text());
    c.requestedSuffix = ToStoreText(reqSuffix_->text());
    c.localPrefix = ToStoreText(localPrefix_->text());
    c.localSuffix = ToStoreText(localSuffix_->text());
    c.command = ToStoreText(command_->text());
    // Bits other than the four shown are kept.
    c.mode = (c.mode & ~15ul) | (files_->isChecked() ? 1 : 0) | (dirs_->isChecked() ? 2 : 0) |
             (binary_->isChecked() ? 4 : 0) | (ascii_->isChecked() ? 8 : 0);
}

bool CConversionsPage::AskName(QString& name) {
    bool ok = false;
    const QString typed =
        QInputDialog::getText(this, "New/Rename Conversion", "Name this conversion:", QLineEdit::Normal, name, &ok);
    if (!ok)
        return false;
    name = typed.trimmed();
    return true;
}

bool CConversionsPage::AddConversion(const QString& name) {
    if (name.isEmpty() || InUse(name))
        return false;
    StoreDetails();
    conversions_.push_back({name, {}, {}});
    list_->addItem(name);
    Select(static_cast<int>(conversions_.size()) - 1);
    setModified();
    return true;
}

void CConversionsPage::RenameSelected(const QString& name) {
    if (shown_ < 0 || name.isEmpty())
        return;
    conversions_[shown_].name = name;
    list_->item(shown_)->setText(name);
    details_->setTitle("Conversion '" + name + "'");
    setModified();
}

bool CConversionsPage::AskFreeName(QString& name, const char* usedText) {
    for (;;) {
        if (!AskName(name))
            return false;
        if (name.isEmpty())
            continue;
        if (!InUse(name))
            return true;
        Tell(usedText);
    }
}

void CConversionsPage::OnNew() {
    QString name;
    if (AskFreeName(name, kNameUsed))
        AddConversion(name);
}

void CConversionsPage::OnRename() {
    if (shown_ < 0)
        return;
    QString name = conversions_[shown_].name;
    if (AskFreeName(name, kRenameUsed))
        RenameSelected(name);
}

void CConversionsPage::OnDelete() {
    if (shown_ < 0)
        return;
    const int row = shown_;
    shown_ = -1;  // its details go with it
    conversions_.erase(conversions_.begin() + row);
    {
        const QSignalBlocker block(list_);
        delete list_->takeItem(row);
    }
    Select(conversions_.empty() ? -1 : std::max(0, row - 1));
    setModified();
}

bool CConversionsPage::Apply() {
    StoreDetails();
    if (!BeginWrite(kWriteFailed))
        return false;
    reg::IStore& store = context().app.store();
    std::vector<reg::Value> present;
    store.EnumValues(key(), present);
    // An unnamed conversion is not shown, so not the page's to remove: the
    // service runs it too. (An empty one is no conversion and goes.)
    for (const reg::Value& v : present)
        if (v.type == reg::REG_SZ && !v.name.empty() && !store.DeleteValue(key(), v.name).ok())
            Failed();
    for (const Entry& e : conversions_) {
        const bool unedited = !e.stored.empty() && JoinConversion(SplitConversion(e.stored)) == JoinConversion(e.fields);
        PutText(ToStoreText(e.name).c_str(), FromStoreText(unedited ? e.stored : JoinConversion(e.fields)));
    }
    EndWrite(kWriteFailed);
    return false;
}

}  // namespace orvyn::applet
