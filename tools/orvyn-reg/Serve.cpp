#include "tools/orvyn-reg/Serve.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "applet/computer/Computer.h"
#include "applet/computer/Wire.h"

namespace orvyn::regtool {

namespace {

using applet::wire::Line;

struct Answer {
    long code = 0;
    std::vector<Line> lines;
};

Answer Fail(long code, std::string reason) { return {code, {{std::move(reason)}}}; }
Answer FromStatus(const reg::Status& status) {
    return status.ok() ? Answer{} : Fail(status.code, status.message.empty() ? "failed" : status.message);
}

using applet::wire::ParseUnsigned;

// An answer of one name per line, or the failure (an errno) of listing them.
Answer Names(int error, std::vector<std::string> names) {
    if (error != 0)
        return Fail(error, std::strerror(error));
    Answer answer;
    for (std::string& name : names)
        answer.lines.push_back({std::move(name)});
    return answer;
}

std::string Text(const std::vector<uint8_t>& data) { return {data.begin(), data.end()}; }

// A file of saved keys travels as the content of a temporary file.
class TempFile {
public:
    TempFile() {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/orvyn-serve-XXXXXX";
        fd_ = mkstemp(path_.data());
        if (fd_ < 0)
            path_.clear();
    }
    ~TempFile() {
        if (fd_ >= 0)
            close(fd_);
        if (!path_.empty())
            unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    bool Write(const std::string& data) { return applet::wire::WriteAll(fd_, data); }
    bool ReadAll(std::string& out) {
        return applet::wire::ReadWholeFile(path_, out, applet::wire::kMaxSavedKey) == 0;
    }

private:
    std::string path_;
    int fd_ = -1;
};

class Server {
public:
    explicit Server(reg::Store& store) : store_(store), service_(store) {}

    Answer Handle(const Line& request) {
        if (request.empty())
            return Fail(reg::kInvalidParameter, "empty request");
        const std::string& verb = request[0];
        const size_t args = request.size() - 1;
        auto arg = [&](size_t i) -> const std::string& { return request[i + 1]; };
        if (verb == "hello")
            return {0, {{"orvyn-reg-serve", "1"}}};
        if (args >= 1 && StoreVerb(verb, args))
            return Store(verb, request);
        if (verb == "svc" && args == 1)
            return Service(arg(0));
        std::vector<std::string> names;
        if (verb == "folders" && args == 1) {
            const int error = files_.ListFolders(arg(0), names);
            return Names(error, std::move(names));
        }
        if (verb == "accounts" && args == 0) {
            const int error = files_.ListAccounts(names);
            return Names(error, std::move(names));
        }
        if (verb == "account" && args == 1)
            return files_.AccountExists(arg(0)) ? Answer{} : Fail(ENOENT, "no such account");
        unsigned long long number = 0;
        if (verb == "certs" && args == 1 && ParseUnsigned(arg(0), number)) {
            std::vector<applet::CertificateInfo> certs;
            if (int error = files_.ListCertificates(static_cast<long>(number), certs))
                return Fail(error, std::strerror(error));
            Answer answer;
            for (const applet::CertificateInfo& c : certs)
                answer.lines.push_back(
                    {c.hash, c.subject, c.notAfter, c.file, c.hasKey ? "1" : "0", c.keyExposed ? "1" : "0"});
            return answer;
        }
        if (verb == "certcheck" && args == 2 && ParseUnsigned(arg(0), number)) {
            const std::string why = files_.CheckCertificate(static_cast<long>(number), arg(1));
            return why.empty() ? Answer{} : Answer{0, {{why}}};
        }
        return Fail(reg::kInvalidParameter, "unknown request " + verb);
    }

private:
    static bool StoreVerb(const std::string& verb, size_t args) {
        static const struct {
            const char* verb;
            size_t args;
        } kVerbs[] = {{"exists", 1}, {"create", 1}, {"delkey", 1}, {"deltree", 1}, {"rename", 2}, {"subkeys", 1},
                      {"info", 1},   {"set", 4},    {"get", 2},    {"delval", 2},  {"values", 1},
                      {"save", 1},   {"restore", 2}};
        for (const auto& v : kVerbs)
            if (verb == v.verb && args == v.args)
                return true;
        return false;
    }

    Answer Store(const std::string& verb, const Line& r) {
        const std::string& key = r[1];
        if (verb == "exists")
            return FromStatus(store_.KeyExists(key));
        if (verb == "create")
            return FromStatus(store_.CreateKey(key));
        if (verb == "delkey")
            return FromStatus(store_.DeleteKey(key));
        if (verb == "deltree")
            return FromStatus(store_.DeleteTree(key));
        if (verb == "rename")
            return FromStatus(store_.RenameKey(key, r[2]));
        if (verb == "subkeys") {
            std::vector<std::string> names;
            const reg::Status status = store_.EnumSubkeys(key, names);
            return status.ok() ? Names(0, std::move(names)) : FromStatus(status);
        }
        if (verb == "info") {
            reg::KeyInfo info;
            Answer answer = FromStatus(store_.QueryInfo(key, info));
            if (answer.code == 0)
                answer.lines.push_back({std::to_string(info.subkeys), std::to_string(info.maxSubkeyLen),
                                        std::to_string(info.values), std::to_string(info.maxValueNameLen),
                                        std::to_string(info.maxValueLen)});
            return answer;
        }
        if (verb == "set") {
            unsigned long long type = 0;
            if (!ParseUnsigned(r[3], type) || type > 0xFFFFFFFFull)
                return Fail(reg::kInvalidParameter, "bad value type");
            return FromStatus(store_.SetValue(key, r[2], static_cast<uint32_t>(type), r[4].data(), r[4].size()));
        }
        if (verb == "get") {
            reg::Value value;
            Answer answer = FromStatus(store_.QueryValue(key, r[2], value));
            if (answer.code == 0)
                answer.lines.push_back({value.name, std::to_string(value.type), Text(value.data)});
            return answer;
        }
        if (verb == "delval")
            return FromStatus(store_.DeleteValue(key, r[2]));
        if (verb == "values") {
            std::vector<reg::Value> values;
            Answer answer = FromStatus(store_.EnumValues(key, values));
            if (answer.code == 0)
                for (const reg::Value& value : values)
                    answer.lines.push_back({value.name, std::to_string(value.type), Text(value.data)});
            return answer;
        }
        TempFile file;
        if (file.path().empty())
            return Fail(reg::kIoError, std::string("cannot make a temporary file: ") + std::strerror(errno));
        if (verb == "save") {
            Answer answer = FromStatus(store_.SaveKey(key, file.path(), true));
            std::string data;
            if (answer.code == 0 && !file.ReadAll(data))
                return Fail(reg::kIoError, "cannot read the saved key back");
            if (answer.code == 0)
                answer.lines.push_back({std::move(data)});
            return answer;
        }
        if (!file.Write(r[2]))
            return Fail(reg::kIoError, std::string("cannot write a temporary file: ") + std::strerror(errno));
        return FromStatus(store_.RestoreKey(key, file.path()));
    }

    Answer Service(const std::string& what) {
        if (what == "open")
            return service_.Open() ? Answer{0, {{service_.debug() ? "1" : "0"}}}
                                   : Fail(1060, "The specified service does not exist as an installed service.");
        if (what == "state")
            return {0, {{std::to_string(service_.QueryState())}}};
        if (what == "start")
            return {service_.Start(), {{"start"}}};
        if (what == "stop")
            return {service_.Stop(), {{"stop"}}};
        if (what == "reread") {
            service_.AskToReread();
            return {};
        }
        return Fail(reg::kInvalidParameter, "unknown service request " + what);
    }

    reg::Store& store_;
    applet::LocalServiceControl service_;
    applet::LocalComputerFiles files_;
};

}  // namespace

int Serve(reg::Store& store, int in, int out) {
    Server server(store);
    std::string pending;
    size_t searched = 0;  // pending holds no line end before this
    char buffer[65536];
    while (true) {
        const size_t end = pending.find('\n', searched);
        if (end == std::string::npos) {
            searched = pending.size();
            if (pending.size() > applet::wire::kMaxLine)
                return 1;
            const ssize_t n = read(in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n == 0 && pending.empty() ? 0 : 1;
            pending.append(buffer, static_cast<size_t>(n));
            continue;
        }
        searched = 0;
        Line request;
        Answer answer;
        if (!applet::wire::Split(std::string_view(pending).substr(0, end), request))
            answer = Fail(reg::kInvalidParameter, "malformed request");
        else
            answer = server.Handle(request);
        pending.erase(0, end + 1);
        std::string reply = std::to_string(answer.code) + " " + std::to_string(answer.lines.size()) + "\n";
        for (const Line& line : answer.lines)
            reply += applet::wire::Join(line);
        if (!applet::wire::WriteAll(out, reply))
            return 1;
    }
}

}  // namespace orvyn::regtool
