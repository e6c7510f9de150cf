// Machine-readable listings (MLST, MLSD): the facts a session has chosen
// with OPTS MLST, the fact text of one entry, and the FEAT reply.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvyn {

enum class MlstType { File, Cdir, Pdir, Dir };

// What the facts of one path are made of.
struct MlstItem {
    MlstType type = MlstType::File;
    std::uint64_t size = 0;
    std::time_t modified = 0;
};

// The item at a disk path (symbolic links followed): Dir for a folder, File
// for anything else; nothing when the path cannot be read.
std::optional<MlstItem> MlstItemAt(const std::string& diskPath);

// One session's MLST state: which facts are enabled and whether the user may
// upload (without that, the C and O rights never show in perm).
class MLST {
public:
    enum Fact : int { kType = 1, kModify = 2, kPerm = 4, kSize = 8, kAllFacts = 15 };

    // Every fact is on at the start ("type;modify;perm;size").
    MLST() = default;

    int enabled() const { return enabled_; }
    void setEnabled(int facts) { enabled_ = facts & kAllFacts; }
    bool uploadAllowed() const { return uploadAllowed_; }
    void setUploadAllowed(bool allowed) { uploadAllowed_ = allowed; }

    // OPTS with its argument. An argument starting with "MLST " (any case)
    // enables each fact whose name occurs in the rest (any case) and
    // disables the others: "200 MLST OPTS type;size;". Anything else changes
    // nothing: "501 Option string \"...\" not recognised.".
    struct OptsReply {
        bool accepted = false;
        std::string text;  // the reply line without CR LF
    };
    OptsReply Opts(std::string_view argument);

    // The enabled facts' names, each followed by ';' ("type;size;").
    std::string EnabledFacts() const;
    // Every fact's name, an enabled one with '*' before its ';' (FEAT).
    std::string FeatFacts() const;

    // The rights mask as shown: without upload permission C and O go.
    int ShownRights(int rights) const;
    // The fact text of an item ("type=file;modify=20240102030405;perm=r;size=3;").
    // The modify fact is left out for a time outside the years 0000..9999,
    // which its fourteen digits cannot express.
    std::string Facts(const MlstItem& item, int rights) const;
    // The same text, appended to out.
    void AppendFacts(std::string& out, const MlstItem& item, int rights) const;

    // The reply to MLST: "250-Listing <argument>", " <facts> <client path>",
    // "250 End" (lines without CR LF).
    std::vector<std::string> ReplyLines(std::string_view argument, const MlstItem& item, int rights,
                                        std::string_view clientPath) const;

private:
    int enabled_ = kAllFacts;
    bool uploadAllowed_ = true;
};

// perm letters, in the order of "acdeflmprw". A file: a and d with O, f with
// C or O, r with R, w with O. A folder (also cdir and pdir): c with C, d with
// O, e with any right, l with L, m with C, p with O.
std::string PermLetters(MlstType type, int rights);

// The FEAT reply lines (without CR LF). mlst: the session's state when the
// server's MLST switch is on, null when it is off (no MLST line).
// more, when given, is one more extension line, before MLST's.
std::vector<std::string> FeatLines(const MLST* mlst, const std::string& more = std::string());

}  // namespace orvyn
