// The base of the server property pages: a page of the sheet with its help
// topic, the key it edits, and the reading and writing conventions every
// page follows.
//
// Reading: a missing value, or a key that cannot be read, shows the page's
// default. Writing (Apply): the page opens its key for writing first (a key
// that cannot be opened is reported with the page's own text and nothing is
// written), then writes every value: flags as REG_DWORD 0 or 1 (a check box
// in its third state deletes the value), numbers as REG_DWORD, texts as
// REG_SZ with their terminating zero.
//
// A control shows some stored values only approximately (a flag of 2, a
// choice the page does not offer, a count above what a spin box holds, text
// of another type). Such a value keeps its meaning until the administrator
// changes its control: Load notes what Write would store for the controls
// as read, and Apply leaves alone every value that was stored then and whose
// control would still store the same. Values missing when read are written.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "applet/Prompt.h"
#include "service/base/settings/ServerRegistry.h"

class QCheckBox;

namespace orvyn::applet {

class COrvynCplApp;

// What every page of one sheet shares.
struct SheetContext {
    COrvynCplApp& app;
    IPrompt& prompt;
    std::string server;
    bool local = true;  // the local computer is managed: browse, look up
};

class CCtxPage : public QWidget {
    Q_OBJECT
public:
    // section: the key under the server's key, nullptr for the server's key.
    CCtxPage(SheetContext& context, const char* section, QString title, QString helpTopic);

    const QString& title() const { return title_; }
    const QString& helpTopic() const { return helpTopic_; }

    // Fills the controls from the store.
    virtual void Read() = 0;
    // Read, then Remember.
    void Load();
    // Notes what Write stores for the controls as they are now.
    void Remember();
    // After Apply: remembers the controls as written, unless a write failed
    // (the values not written are then written again by the next Apply).
    void Applied();
    // Before the page is left or applied: false keeps the page (it has said
    // why and put the focus on the field).
    virtual bool Validate() { return true; }
    // Writes every value. True when the service should re-read its
    // configuration afterwards (also after a failed write).
    virtual bool Apply() = 0;
    // The page became the sheet's current page.
    virtual void Activated() {}

    bool modified() const { return modified_; }
    void setModified(bool on = true);
    // Marks the page modified on every edit of the controls it holds now.
    void WatchEdits();

signals:
    void modifiedChanged(bool modified);

protected:
    const std::string& key() const { return key_; }
    const CServerRegistry& registry() const { return registry_; }
    const char* section() const;
    SheetContext& context() { return context_; }

    // The values the page writes through Put* and Delete, between
    // BeginWrite and EndWrite; also run by Remember, which only notes them.
    virtual void Write() {}

    long Int(const char* name, long def) const;
    bool Flag(const char* name, bool def) const;
    QString Text(const char* name, const QString& def) const;

    // Opens the key for writing; false after telling failText.
    bool BeginWrite(const char* failText);
    void PutInt(const char* name, long value);
    void PutCheck(const char* name, const QCheckBox* box);
    void PutText(const char* name, const QString& text);
    void PutBinary(const char* name, const std::vector<uint8_t>& data);
    void PutTo(const std::string& key, const char* name, uint32_t type, const std::vector<uint8_t>& data);
    void Delete(const char* name);
    // The next Put of name writes even when it stores what was remembered:
    // for values the administrator changed through other controls.
    void Rewrite(const char* name);
    void Failed() { writeFailed_ = true; }
    // Tells failText when a write since BeginWrite failed.
    void EndWrite(const char* failText);

    void Tell(const QString& text, IPrompt::Icon icon = IPrompt::Icon::Warning);
    bool AskYesNo(const QString& text);

private:
    SheetContext& context_;
    CServerRegistry registry_;
    std::string section_;
    bool hasSection_;
    std::string key_;
    QString title_, helpTopic_;
    bool modified_ = false;
    bool writeFailed_ = false;
    bool applyFailed_ = false;
    // What Write put (nullopt: deleted) for each key and value when the
    // controls were last remembered, and whether the value was stored then.
    struct Remembered {
        bool stored = false;
        std::optional<std::pair<uint32_t, std::vector<uint8_t>>> put;
    };
    std::map<std::pair<std::string, std::string>, Remembered> remembered_;
    bool remembering_ = false;
    // True when a write of put to key\name can be left out.
    bool Unchanged(const std::string& key, const char* name,
                   const std::optional<std::pair<uint32_t, std::vector<uint8_t>>>& put);
};

// The message title of the pages.
extern const char* const kSheetMessageTitle;

}  // namespace orvyn::applet
