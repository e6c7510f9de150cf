// Building the bytes of FTP replies: printf formatting into a fixed-size
// buffer, the reply macros (%C, %E, %F, %L, %M, %N, %R, %T, %U, %u) and the
// line state machine that decides what goes on the wire and when a complete
// reply is ready to be sent.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace orvyn {

// Line state machine of the reply writer. Every byte of a reply passes
// through it; it appends the bytes to send to the caller's reply buffer and
// reports when the final line of a reply (three digits and a blank, ended by
// CR LF) is complete, so that a multi-line reply leaves in one piece.
//
// States:
//   0 inside a line            CR -> 1
//   1 after CR                 LF -> 2; else a NUL is written after the CR, -> 0
//   2 start of a line          continuation text: a digit gets a blank in
//                              front, -> 0; reply text: digit -> 3, else -> 0
//   3, 4 one or two digits     digit -> next state; else -> 0
//   5 three digits             blank -> 6 (last line); CR -> 7; else -> 0
//   6 inside the last line     CR -> 7
//   7 after CR in last line    LF -> 8; else a NUL is written after the CR, -> 6
//   8 reply complete           back to 2 at once (Feed returns true)
// A byte that moves the machine to state 0 or 6 is then read in that state,
// so a CR that follows a lone CR, or that ends an empty line, still starts a
// line end (a lone CR never swallows the line end behind it).
class CReplyWriter {
public:
    static constexpr int kStartState = 2;

    // Runs text through the machine and appends the resulting bytes to out.
    // continuation is true for free text lines inside a multi-line reply.
    // Returns true when at least one complete reply has been buffered; the
    // caller then sends what it has buffered.
    bool Feed(std::string_view text, bool continuation, std::string& out);

    int state() const { return state_; }
    void Reset() { state_ = kStartState; }

private:
    int state_ = kStartState;
};

// Largest formatted reply text, in characters (the buffer holds one more for
// the terminating NUL).
inline constexpr size_t kMaxFormattedReply = 1023;

// printf-formats into out, keeping at most kMaxFormattedReply characters.
// Returns false when the text did not fit (out then holds the cut text) or
// when the format could not be applied (out is then empty).
bool FormatCapped(std::string& out, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
bool FormatCappedF(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// What the reply macros show, supplied by the session.
class IMacroSource {
public:
    virtual ~IMacroSource() = default;

    virtual bool LoggedIn() = 0;
    virtual bool LoginRequired() = 0;  // the instance's Secure setting
    // %C: the current directory as the client sees it.
    virtual std::string CurrentDirectory() = 0;
    // %E: the instance's Email setting.
    virtual std::string Email() = 0;
    // %F: free space of the current directory's file system in kilobytes,
    // as decimal text (see FreeSpaceKbText).
    virtual std::string FreeSpaceKb() = 0;
    // %L: this computer's host name (see LocalHostName).
    virtual std::string HostName() = 0;
    // %M and %N.
    virtual long MaxUsers() = 0;
    virtual long UserCount() = 0;
    // %R: while the reverse lookup runs "{unnamed-host}" is shown; afterwards
    // the name it found (empty when it failed).
    virtual bool HostLookupPending() = 0;
    virtual std::string RemoteHostName() = 0;
    // %U: the user name with the optional detail in parentheses.
    virtual std::string UserName() = 0;
    virtual std::string UserDetail() = 0;
    // %T: the current time (overridable so the output can be checked).
    virtual std::time_t Now() { return std::time(nullptr); }
};

// Replaces the macros of text. A percent sign before any other character (or
// at the very end) is kept and scanning goes on with the character after it,
// so "%%U" is a percent sign followed by the %U expansion. Only text the
// server's own administrators wrote is expanded (catalogue texts, greeting
// and farewell lines, message files); text a client sent never is.
std::string ExpandMacros(std::string_view text, IMacroSource& src);

// The same for a printf format whose arguments are inserted afterwards: "%%"
// stays a printf escape and a percent sign inside an inserted value is
// doubled, so formatting shows every value as it is. The macro letters are
// therefore not available as printf conversions ("%u", "%E").
std::string ExpandMacrosInFormat(std::string_view format, IMacroSource& src);

// asctime form of a local time without the line end: "Sun Sep 16 01:03:52 1973".
std::string AscTimeText(std::time_t t);

// Free space of the file system holding path in kilobytes, as decimal text;
// "0" when it cannot be read.
std::string FreeSpaceKbText(const std::string& path);

// gethostname, or "localhost" when it fails.
std::string LocalHostName();

}  // namespace orvyn
