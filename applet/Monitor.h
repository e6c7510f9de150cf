// The monitoring conversation with a running server instance: an ordinary
// control connection to the instance's port on which the applet waits for
// the greeting, sends "SITE ADMN" and then reads the instance's "300" lines
// (MODI: a session appeared or changed, DELE: it ended, TIME: the connection
// is about to time out and wants a NOOP).
//
// CMonitorConversation is the line protocol alone; CServerMonitor owns the
// socket (a non-blocking QTcpSocket on the dialog's thread, so nothing ever
// blocks the dialog) and feeds it.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

class QTcpSocket;

namespace orvyn::applet {

struct ConnectionRecord {
    std::string user;
    int32_t id = 0;
    std::string peer;
    std::string status;
    std::string command;
};

// What the conversation does to the dialog and the connection.
class IMonitorSink {
public:
    virtual ~IMonitorSink() = default;
    virtual void SendLine(const std::string& line) = 0;
    virtual void SetCaption(const QString& caption) = 0;
    virtual void UpdateConnection(const ConnectionRecord& record) = 0;
    virtual void RemoveConnection(int32_t id) = 0;
};

class CMonitorConversation {
public:
    enum State { kIdle = 0, kGreeting = 1, kReady = 2, kMonitoring = 3 };
    // Lines longer than this are dropped whole; the bytes after them go on.
    static constexpr size_t kMaxLine = 64 * 1024;

    explicit CMonitorConversation(IMonitorSink& sink) : sink_(sink) {}

    // Back to Idle, nothing buffered.
    void Reset();
    // A connection to `server` was issued: wait for its greeting.
    void Begin(const std::string& server);
    void Received(const char* data, size_t size);

    State state() const { return state_; }
    const std::string& server() const { return server_; }

    // Parses the fields of a MODI line after "300?MODI "; false when the line
    // has fewer than four fields or the id is not a number.
    static bool ParseModi(const std::string& fields, ConnectionRecord& out);

private:
    bool TakeLine(std::string& line);
    void HandleAdminLine(const std::string& line);

    IMonitorSink& sink_;
    State state_ = kIdle;
    std::string server_;
    std::string buffer_;
    bool discarding_ = false;  // inside a line over kMaxLine, up to its LF
};

// The socket side. Select() resolves and connects; the conversation then
// runs on the socket's signals.
class CServerMonitor : public QObject {
    Q_OBJECT
public:
    explicit CServerMonitor(IMonitorSink& sink, QObject* parent = nullptr);
    ~CServerMonitor() override;

    // Closes any connection and resets the conversation.
    void Reset();
    // Connects to a running instance. addressText / portText as the server
    // list shows them; 0.0.0.0 is reached through 127.125.126.127 (and :: on
    // ::1). Sets the caption for every outcome.
    void Select(const std::string& server, const std::string& addressText, const std::string& portText);
    // Sends text and CR LF when connected; false otherwise.
    bool SendLine(const std::string& line);

    CMonitorConversation::State state() const { return conversation_.state(); }
    // The server watched (empty before the first Select).
    const std::string& server() const { return conversation_.server(); }

private:
    void OnReadyRead();
    void OnClosed();

    IMonitorSink& sink_;
    CMonitorConversation conversation_;
    std::unique_ptr<QTcpSocket> socket_;
    std::string addressText_;
};

// The port of a port text: a decimal number, else a TCP service name; 0 when
// neither.
uint16_t ResolvePort(const std::string& text);

}  // namespace orvyn::applet
