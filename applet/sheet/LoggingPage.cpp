#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "applet/sheet/Pages.h"

namespace orvyn::applet {

namespace {
const char* const kWriteFailed = "Unable to write to the registry";
}

QString ChooseFile(QWidget* parent, bool save, const QString& filter, const QString& defaultSuffix,
                   const QString& start) {
    QFileDialog dlg(parent, QString(), start, filter);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dlg.setDefaultSuffix(defaultSuffix);
    if (!start.isEmpty())
        dlg.selectFile(start);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().first();
}

CLoggingPage::CLoggingPage(SheetContext& context) : CCtxPage(context, "Logging", "Logging", "sheet-logging") {
    file_ = new QLineEdit(this);
    file_->setObjectName("LogFile");
    browse_ = new QPushButton("Browse...", this);
    browse_->setObjectName("BrowseLogFile");
    enable_ = new QCheckBox("&Enable Logging:", this);
    enable_->setObjectName("Enable");

    auto* fileRow = new QHBoxLayout;
    auto* fileLabel = new QLabel("Log to &file:", this);
    fileLabel->setBuddy(file_);
    fileRow->addWidget(fileLabel);
    fileRow->addWidget(file_, 1);
    fileRow->addWidget(browse_);

    auto* what = new QGroupBox(this);
    auto* grid = new QGridLayout(what);
    const std::pair<const char*, const char*> items[] = {
        {"Gets", "&Gets"},         {"Puts", "&Puts"},           {"Commands", "&Commands"}, {"Warnings", "&Warnings"},
        {"Logins", "&Logins"},     {"Anonymous", "&Anonymous"}, {"Winsock", "Winsock Calls"}};
    int i = 0;
    for (const auto& [value, text] : items) {
        auto* box = new QCheckBox(text, what);
        box->setObjectName(value);
        grid->addWidget(box, i % 4, i / 4);
        items_.emplace_back(value, box);
        ++i;
    }

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fileRow);
    layout->addWidget(enable_);
    layout->addWidget(what);
    layout->addStretch();

    connect(file_, &QLineEdit::textChanged, this, &CLoggingPage::UpdateControls);
    connect(enable_, &QCheckBox::clicked, this, &CLoggingPage::UpdateControls);
    connect(browse_, &QPushButton::clicked, this, [this] {
        const QString file =
            ChooseFile(this, true, "FTP Log Files (*.ftp);;All Files (*)", "ftp", file_->text());
        if (!file.isEmpty()) {
            file_->setText(file);
            setModified();
        }
    });
}

void CLoggingPage::Read() {
    file_->setText(Text("LogFile", ""));
    enable_->setChecked(Flag("Enable", false));
    for (const auto& [value, box] : items_)
        box->setChecked(Flag(value, std::string_view(value) == "Warnings"));
    UpdateControls();
}

void CLoggingPage::UpdateControls() {
    const bool named = !file_->text().trimmed().isEmpty();
    enable_->setEnabled(named);
    for (const auto& item : items_)
        item.second->setEnabled(named && enable_->isChecked());
    browse_->setEnabled(context().local);
}

bool CLoggingPage::Apply() {
    if (!BeginWrite(kWriteFailed))
        return true;
    Write();
    EndWrite(kWriteFailed);
    return true;
}

void CLoggingPage::Write() {
    PutText("LogFile", file_->text().trimmed());
    PutCheck("Enable", enable_);
    for (const auto& [value, box] : items_)
        PutCheck(value, box);
}

}  // namespace orvyn::applet
