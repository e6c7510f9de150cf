#include "service/accounts/paths/PathRights.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>

#include "platform/accounts/Impersonation.h"
#include "platform/registry/Registry.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn {

namespace {

constexpr const char* kAnyPathEntry = "*";
// Configuration paths this long (with their closing "/") are refused.
constexpr size_t kMaxRightsPath = 259;

// Where the pseudo-user "default" keeps its rights entries.
const std::string& DefaultRightsSection() {
    static const std::string section = CUserSettings::RightsSection(kDefaultUserName).value_or(std::string());
    return section;
}

}  // namespace

PathRights::PathRights() = default;

PathRights::~PathRights() {
    if (!scopes_.empty()) {
        fputs("Woah, nellie!\r\n", stderr);
        RevertAll();
    }
}

void PathRights::RevertAll() {
    // Innermost first: each scope restores what the one before it set.
    while (!scopes_.empty()) scopes_.pop_back();
}

void PathRights::Load(CServerRegistry& instance, std::string_view userName, std::string_view root,
                      accounts::TokenPtr token, bool skipToken, bool secureDefault) {
    RevertAll();
    tokenHeld_ = false;
    token_.reset();

    accounts::ServiceScope asService;
    store_ = std::make_unique<reg::Store>(instance.store().path());
    settings_ = std::make_unique<CServerRegistry>(*store_, instance.instanceName(), nullptr);
    secureDefault_ = secureDefault;
    user_ = userName;
    // A name that cannot address a user's own key has no entries of its own.
    userKey_ = CUserSettings::RightsSection(user_).value_or(std::string());
    writesAllowed_ = settings_->ReadFlag("Security", "Allow_Puts", true);
    if (IsAnonymousName(user_) && !settings_->ReadFlag("Security", "Allow_Anon_Puts", false))
        writesAllowed_ = false;
    root_ = root;

    ReadEntriesAndMaps();

    hasSessionToken_ = token != nullptr;
    if (!skipToken) {
        tokenHeld_ = true;
        token_ = std::move(token);
    }
}

void PathRights::Reload() {
    accounts::ServiceScope asService;
    ReadEntriesAndMaps();
}

void PathRights::ReadEntryNames(const std::string& section, std::vector<std::string>& names,
                                std::vector<std::string>& matched) {
    names.clear();
    matched.clear();
    if (section.empty()) return;
    // Only values are entries, so the store is asked for values alone.
    std::vector<reg::Value> values;
    if (!store_->EnumValues(settings_->KeyPath(section.c_str()), values).ok()) return;
    names.reserve(values.size());
    matched.reserve(values.size());
    for (auto& v : values) {
        // An entry may be written with "\" as the separator, as the paths
        // of the store's other settings may. Only such a name gets a second
        // spelling (every session keeps its entries).
        const bool backslashed = v.name.find('\\') != std::string::npos;
        matched.push_back(backslashed ? BackslashesAsSlashes(v.name) : std::string());
        names.push_back(std::move(v.name));
    }
}

void PathRights::ReadEntriesAndMaps() {
    // What was kept belonged to the entries and switches before (a new
    // login, a copy or a reload reads everything again).
    answersStamp_ = 0;
    keptSecure_ = -1;
    keptLetters_.clear();
    lettersKept_ = false;
    if (!settings_) return;
    // Noted before reading: a change made meanwhile moves the stamp.
    entriesStamp_ = frozen_ ? 0 : settings_->ReadStamp();
    folder_ = ExaminedFolder{};
    realFolder_ = RealFolder{};
    ReadEntryNames(userKey_, userEntries_, userMatched_);
    ReadEntryNames(DefaultRightsSection(), defaultEntries_, defaultMatched_);
    maps_.Load(*settings_, user_);
}

void PathRights::RefreshEntriesAndMaps() {
    if (!frozen_ && entriesStamp_ != 0 && settings_->ReadStamp() == entriesStamp_) return;
    ReadEntriesAndMaps();
}

bool PathRights::MayKeepAnswers() {
    if (frozen_) return true;
    const uint64_t stamp = settings_->ReadStamp();
    if (stamp != answersStamp_) {
        keptSecure_ = -1;
        keptLetters_.clear();
        answersStamp_ = stamp;
    }
    return stamp != 0;
}

int PathRights::FileSystemRights(std::string_view path) const {
    if (path.empty() || path[0] != '/' || HasControlChars(path)) return 0;
    const bool folder = path.back() == '/';
    std::string at = WithoutTrailingSlash(path);
    if (at.size() > kMaxDiskPath) return 0;

    const accounts::Token* token = token_.get();
    // The common case first: everything granted, in one check per level.
    const int readWrite = R_OK | W_OK | (folder ? X_OK : 0);
    for (;;) {
        const int err = accounts::AccessAs(token, at, readWrite);
        if (err == 0) return kRightRead | kRightWrite | kRightList;
        if ((err != ENOENT && err != ENOTDIR) || at == "/") break;
        at = ParentOf(at);
    }
    // What does not exist yet is judged by the nearest folder that does.
    for (;;) {
        const int err = accounts::AccessAs(token, at, F_OK);
        if (err == 0) break;
        if ((err == ENOENT || err == ENOTDIR) && at != "/") {
            at = ParentOf(at);
            continue;
        }
        // The account cannot even reach the place: nothing is granted.
        if (err == EACCES) return 0;
        // Permissions that cannot be read deny nothing by themselves; the
        // operation runs as the account and the system decides then.
        return kAllRights;
    }
    const bool canRead = accounts::AccessAs(token, at, R_OK) == 0;
    const bool canWrite = accounts::AccessAs(token, at, W_OK) == 0;
    int mask = 0;
    if (folder) {
        if (accounts::AccessAs(token, at, X_OK) == 0) mask |= kRightRead;
        if (canWrite) mask |= kRightWrite;
        if (canRead) mask |= kRightList;
    } else {
        if (canRead) mask |= kRightRead | kRightList;
        if (canWrite) mask |= kRightWrite;
    }
    return mask;
}

int PathRights::EntryRights(const std::vector<std::string>& names, const std::vector<std::string>& matched,
                            const std::string& section, std::string_view path) {
    const std::string* best = nullptr;
    for (size_t i = 0; i < matched.size(); ++i) {
        const std::string& name = matched[i].empty() ? names[i] : matched[i];
        if (!IsPathPrefix(name, path)) continue;
        if (!best || name.size() > best->size()) {
            best = &names[i];
            if (name.size() == path.size()) break;
        }
    }
    if (!best) return -1;
    if (!MayKeepAnswers()) return ParseRights(settings_->ReadString(section.c_str(), best->c_str(), "-"));
    letterKey_.assign(section).append(1, '\n').append(*best);
    auto it = keptLetters_.find(letterKey_);
    if (it == keptLetters_.end()) {
        const int mask = ParseRights(settings_->ReadString(section.c_str(), best->c_str(), "-"));
        it = keptLetters_.emplace(letterKey_, mask).first;
    }
    return it->second;
}

int PathRights::EntryMask(std::string_view asked, bool anyPathEntry) {
    int mask = EntryRights(userEntries_, userMatched_, userKey_, asked);
    if (mask < 0) mask = EntryRights(defaultEntries_, defaultMatched_, DefaultRightsSection(), asked);
    if (mask < 0 && anyPathEntry) mask = EntryRights(userEntries_, userMatched_, userKey_, kAnyPathEntry);
    if (mask < 0 && anyPathEntry) {
        mask = EntryRights(defaultEntries_, defaultMatched_, DefaultRightsSection(), kAnyPathEntry);
    }
    return mask < 0 ? kAllRights : mask;
}

std::optional<std::string> PathRights::AskedPath(std::string_view path) const {
    if (path.size() >= kMaxRightsPath || HasControlChars(path)) return std::nullopt;
    std::string asked = maps_.empty() ? WithTrailingSlash(path) : maps_.BackMap(path);
    if (asked.size() >= kMaxRightsPath) return std::nullopt;
    if (!root_.empty() && !IsPathPrefix(root_, asked)) return std::nullopt;
    return asked;
}

int PathRights::ConfigurationRights(std::string_view path, const std::optional<std::string>* realPlace) {
    const std::optional<std::string> asked = AskedPath(path);
    if (!asked) return 0;
    int mask = EntryMask(*asked, true);
    if (mask == 0) return 0;

    // Reached through a symbolic link, the object's real place has entries
    // of its own, and both apply: a link must not lend a folder the rights
    // of the place it is shown at. Only entries naming the real place count
    // ("*" was applied above); a real place outside the root has no rights.
    std::optional<std::string> found;
    if (!realPlace) {
        found = RealPlace(path, root_, maps_);
        if (found && !path.empty() && path.back() == '/') found = WithTrailingSlash(*found);
        realPlace = &found;
    }
    if (!*realPlace) return mask;
    const std::optional<std::string> real = AskedPath(**realPlace);
    if (!real) return 0;
    if (*real != *asked) mask &= EntryMask(*real, false);
    return mask;
}

bool PathRights::EntriesInsideAllow(std::string_view diskPath, int required) {
    const std::string folder = WithTrailingSlash(diskPath);
    std::vector<std::string> places;
    if (std::optional<std::string> asked = AskedPath(folder)) places.push_back(std::move(*asked));
    if (std::optional<std::string> real = RealPlace(folder, root_, maps_)) {
        if (std::optional<std::string> asked = AskedPath(WithTrailingSlash(*real))) places.push_back(std::move(*asked));
    }
    if (places.empty()) return false;
    auto allowed = [&](const std::vector<std::string>& names, const std::vector<std::string>& matched) {
        for (size_t i = 0; i < matched.size(); ++i) {
            const std::string& name = matched[i].empty() ? names[i] : matched[i];
            for (const std::string& place : places) {
                if (name.size() <= place.size() || !IsPathPrefix(place, name)) continue;
                if ((EntryMask(name, false) & required) != required) return false;
            }
        }
        return true;
    };
    return allowed(userEntries_, userMatched_) && allowed(defaultEntries_, defaultMatched_);
}

void PathRights::Freeze() {
    frozen_ = true;
    folder_ = ExaminedFolder{};
    realFolder_ = RealFolder{};
    if (!settings_) return;
    // Taken before acting as the service, which narrows the thread's groups.
    processToken_ = accounts::ProcessToken();
    accounts::ServiceScope asService;
    keptSecure_ = settings_->ReadFlag("Security", "Secure", secureDefault_) ? 1 : 0;
    auto keep = [this](const std::vector<std::string>& names, const std::string& section) {
        for (const std::string& name : names) {
            keptLetters_[section + '\n' + name] = ParseRights(settings_->ReadString(section.c_str(), name.c_str(), "-"));
        }
    };
    keep(userEntries_, userKey_);
    keep(defaultEntries_, DefaultRightsSection());
    lettersKept_ = true;
}

std::optional<int> PathRights::ExaminedFileSystemRights(std::string_view path, const struct stat& st) {
    if (path.empty() || path[0] != '/' || HasControlChars(path)) return 0;
    const bool folder = path.back() == '/';
    std::string_view at = path;
    while (at.size() > 1 && at.back() == '/') at.remove_suffix(1);
    if (at.size() > kMaxDiskPath || at == "/") return std::nullopt;
    const std::size_t slash = at.rfind('/');
    const std::string_view parent = slash == 0 ? at.substr(0, 1) : at.substr(0, slash);
    // Only plain paths are judged here; anything with "." or ".." steps or
    // doubled separators takes the full walk.
    if (parent.size() > 1 && parent.back() == '/') return std::nullopt;

    if (parent != folder_.path) {
        // Reaching the folder is judged once for all its entries: every
        // step of the way as the account, then the folder's file system.
        accounts::ServiceScope asService;
        folder_ = ExaminedFolder{};
        folder_.path = parent;
        const std::string& parentPath = folder_.path;
        const int err = accounts::AccessAs(token_.get(), parentPath, X_OK);
        struct stat folderStat;
        struct statvfs vfs;
        if (err == EACCES) {
            folder_.reach = ExaminedFolder::Reach::Denied;
        } else if (err == 0 && stat(parentPath.c_str(), &folderStat) == 0 &&
                   statvfs(parentPath.c_str(), &vfs) == 0) {
            folder_.reach = ExaminedFolder::Reach::Reached;
            folder_.device = folderStat.st_dev;
            folder_.readOnly = (vfs.f_flag & ST_RDONLY) != 0;
        }
    }
    switch (folder_.reach) {
    case ExaminedFolder::Reach::Denied:
        return 0;
    case ExaminedFolder::Reach::Unknown:
        return std::nullopt;
    case ExaminedFolder::Reach::Reached:
        break;
    }
    // A mount point belongs to another file system than its folder.
    if (st.st_dev != folder_.device) return std::nullopt;

    const int modes =
        accounts::GrantedModes(token_ ? *token_ : processToken_, at, st, folder_.readOnly);
    int mask = 0;
    if (folder) {
        if (modes & X_OK) mask |= kRightRead;
        if (modes & W_OK) mask |= kRightWrite;
        if (modes & R_OK) mask |= kRightList;
    } else {
        if (modes & R_OK) mask |= kRightRead | kRightList;
        if (modes & W_OK) mask |= kRightWrite;
    }
    return mask;
}

std::optional<std::string> PathRights::ExaminedRealPlace(std::string_view path) {
    std::string_view at = path;
    while (at.size() > 1 && at.back() == '/') at.remove_suffix(1);
    const std::size_t slash = at.rfind('/');
    if (slash == std::string_view::npos || at.size() <= 1) {
        accounts::ServiceScope asService;
        return RealPlace(path, root_, maps_);
    }
    const std::string_view parent = slash == 0 ? at.substr(0, 1) : at.substr(0, slash);
    if (!realFolder_.known || parent != realFolder_.path) {
        accounts::ServiceScope asService;
        realFolder_.known = true;
        realFolder_.path = parent;
        realFolder_.place = RealPlace(realFolder_.path, root_, maps_);
    }
    if (!realFolder_.place) return std::nullopt;
    std::string place = WithTrailingSlash(*realFolder_.place);
    place.append(at.substr(slash + 1));
    if (path.back() == '/') place += '/';
    return place;
}

int PathRights::GetExaminedRights(std::string_view diskPath, const struct stat& st) {
    if (!frozen_ || !lettersKept_ || keptSecure_ < 0 || S_ISLNK(st.st_mode)) return GetRights(diskPath, false);
    int fileSystem = kAllRights;
    if (tokenHeld_) {
        const std::optional<int> examined = ExaminedFileSystemRights(diskPath, st);
        if (!examined) return GetRights(diskPath, false);
        fileSystem = *examined;
    }
    // Frozen: the configured letters were all read when freezing, so the
    // store is not touched here. The object is no link, so its real place
    // is the real place of its folder with its own name.
    int configured = kAllRights;
    if (keptSecure_ != 0) {
        const std::optional<std::string> real = ExaminedRealPlace(diskPath);
        configured = ConfigurationRights(diskPath, &real);
    }
    int mask = fileSystem & configured;
    if (!writesAllowed_) mask &= ~kRightWrite;
    return mask;
}

int PathRights::GetRights(std::string_view diskPath, bool reload, std::string* owner, std::string* group) {
    if (owner) *owner = "noone";
    if (group) *group = "nogroup";
    if (!settings_) return 0;

    // Frozen settings without an account token need neither the store nor
    // the service's identity: the thread judges as the service already.
    std::optional<accounts::ServiceScope> asService;
    if (!frozen_ || reload || token_) asService.emplace();
    if (reload) RefreshEntriesAndMaps();
    const int fileSystem = tokenHeld_ ? FileSystemRights(diskPath) : kAllRights;
    bool secure;
    if (!MayKeepAnswers()) {
        secure = settings_->ReadFlag("Security", "Secure", secureDefault_);
    } else {
        if (keptSecure_ < 0) keptSecure_ = settings_->ReadFlag("Security", "Secure", secureDefault_) ? 1 : 0;
        secure = keptSecure_ != 0;
    }
    const int configured = secure ? ConfigurationRights(diskPath) : kAllRights;
    int mask = fileSystem & configured;
    if (!writesAllowed_) mask &= ~kRightWrite;
    return mask;
}

bool PathRights::HasRights(std::string_view diskPath, int required) {
    if (diskPath.empty() || !settings_) return false;
    accounts::ServiceScope asService;
    if (IsDevicePath(diskPath, DeviceNames::ForProcess(*settings_))) return false;
    const int mask = GetRights(diskPath, true);
    return (mask & required) == required;
}

bool PathRights::OpenedHasRights(std::string_view diskPath, int fd, int required) {
    if (diskPath.empty() || !settings_) return false;
    accounts::ServiceScope asService;
    if (IsDevicePath(diskPath, DeviceNames::ForProcess(*settings_))) return false;
    if (!settings_->ReadFlag("Security", "Secure", secureDefault_)) return true;
    const std::optional<std::string> opened = RealPlaceOfOpened(fd, diskPath, root_, maps_);
    return (ConfigurationRights(diskPath, &opened) & required) == required;
}

bool PathRights::Impersonate() {
    if (!tokenHeld_) return true;
    try {
        scopes_.push_back(std::make_unique<accounts::ImpersonationScope>(token_.get()));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void PathRights::Revert() {
    if (!tokenHeld_ || scopes_.empty()) return;
    scopes_.pop_back();
}

void PathRights::CopyFrom(const PathRights& other) {
    if (&other == this) return;
    RevertAll();
    if (!other.settings_) {
        // A copy of rights never loaded is never loaded either.
        settings_.reset();
        store_.reset();
        tokenHeld_ = false;
        token_.reset();
        return;
    }
    accounts::ServiceScope asService;
    store_ = std::make_unique<reg::Store>(other.store_->path());
    settings_ = std::make_unique<CServerRegistry>(*store_, other.settings_->instanceName(), nullptr);
    secureDefault_ = other.secureDefault_;
    user_ = other.user_;
    userKey_ = other.userKey_;
    root_ = other.root_;
    writesAllowed_ = other.writesAllowed_;
    hasSessionToken_ = other.hasSessionToken_;
    // The token is never changed after logon, so sharing it shares nothing
    // mutable; without one the copy judges as the service.
    tokenHeld_ = true;
    token_ = other.token_;
    ReadEntriesAndMaps();
}

}  // namespace orvyn
