#include "applet/sheet/CtxPage.h"
#include "applet/StoreText.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>

#include "applet/CplApp.h"

namespace orvyn::applet {

const char* const kSheetMessageTitle = "ORVYN FTP Server";

CCtxPage::CCtxPage(SheetContext& context, const char* section, QString title, QString helpTopic)
    : context_(context),
      registry_(context.app.store(), context.server, nullptr),
      section_(section ? section : ""),
      hasSection_(section != nullptr),
      key_(registry_.KeyPath(section)),
      title_(std::move(title)),
      helpTopic_(std::move(helpTopic)) {
    setProperty("helpTopic", helpTopic_);
}

void CCtxPage::setModified(bool on) {
    if (modified_ == on)
        return;
    modified_ = on;
    emit modifiedChanged(on);
}

void CCtxPage::WatchEdits() {
    auto mark = [this] { setModified(true); };
    // Fields that only feed a command (the host entry) change nothing.
    for (auto* w : findChildren<QLineEdit*>())
        if (!qobject_cast<QSpinBox*>(w->parentWidget()) && !w->property("notAValue").toBool())
            connect(w, &QLineEdit::textEdited, this, mark);
    for (auto* w : findChildren<QAbstractButton*>())
        if (w->isCheckable())
            connect(w, &QAbstractButton::clicked, this, mark);
    for (auto* w : findChildren<QSpinBox*>())
        connect(w, &QSpinBox::valueChanged, this, mark);
    for (auto* w : findChildren<QComboBox*>())
        connect(w, &QComboBox::activated, this, mark);
    for (auto* w : findChildren<QPlainTextEdit*>())
        connect(w, &QPlainTextEdit::textChanged, this, mark);
}

const char* CCtxPage::section() const { return hasSection_ ? section_.c_str() : nullptr; }

long CCtxPage::Int(const char* name, long def) const { return registry_.ReadInt(section(), name, def); }

void CCtxPage::Load() {
    Read();
    Remember();
}

void CCtxPage::Remember() {
    remembered_.clear();
    remembering_ = true;
    Write();
    remembering_ = false;
}

void CCtxPage::Applied() {
    if (!applyFailed_)
        Remember();
}

bool CCtxPage::Unchanged(const std::string& key, const char* name,
                         const std::optional<std::pair<uint32_t, std::vector<uint8_t>>>& put) {
    if (remembering_) {
        reg::Value v;
        remembered_[{key, name}] = {context_.app.store().QueryValue(key, name, v).ok(), put};
        return true;
    }
    const auto it = remembered_.find({key, name});
    return it != remembered_.end() && it->second.stored && it->second.put == put;
}

bool CCtxPage::Flag(const char* name, bool def) const { return registry_.ReadFlag(section(), name, def); }

QString CCtxPage::Text(const char* name, const QString& def) const {
    return FromStoreText(registry_.ReadString(section(), name, ToStoreText(def)));
}

bool CCtxPage::BeginWrite(const char* failText) {
    writeFailed_ = false;
    applyFailed_ = false;
    if (context_.app.store().CreateKey(key_).ok())
        return true;
    applyFailed_ = true;
    Tell(failText);
    return false;
}

void CCtxPage::PutTo(const std::string& key, const char* name, uint32_t type, const std::vector<uint8_t>& data) {
    if (Unchanged(key, name, std::pair{type, data}))
        return;
    if (!context_.app.store().SetValue(key, name, type, data.data(), data.size()).ok())
        writeFailed_ = true;
}

void CCtxPage::PutInt(const char* name, long value) {
    PutTo(key_, name, reg::REG_DWORD, reg::DwordData(static_cast<uint32_t>(value)));
}

void CCtxPage::PutCheck(const char* name, const QCheckBox* box) {
    if (box->checkState() == Qt::PartiallyChecked)
        Delete(name);
    else
        PutInt(name, box->isChecked() ? 1 : 0);
}

void CCtxPage::PutText(const char* name, const QString& text) {
    PutTo(key_, name, reg::REG_SZ, reg::StringData(ToStoreText(text)));
}

void CCtxPage::PutBinary(const char* name, const std::vector<uint8_t>& data) {
    PutTo(key_, name, reg::REG_BINARY, data);
}

void CCtxPage::Delete(const char* name) {
    if (Unchanged(key_, name, std::nullopt))
        return;
    const reg::Status s = context_.app.store().DeleteValue(key_, name);
    if (!s.ok() && s.code != reg::kNotFound)
        writeFailed_ = true;
}

void CCtxPage::Rewrite(const char* name) { remembered_.erase({key_, name}); }

void CCtxPage::EndWrite(const char* failText) {
    if (writeFailed_)
        Tell(failText);
    applyFailed_ = writeFailed_;
    writeFailed_ = false;
}

void CCtxPage::Tell(const QString& text, IPrompt::Icon icon) { context_.prompt.Tell(text, kSheetMessageTitle, icon); }

bool CCtxPage::AskYesNo(const QString& text) { return context_.prompt.AskYesNo(text, kSheetMessageTitle); }

}  // namespace orvyn::applet
