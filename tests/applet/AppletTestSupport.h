// What the applet's tests share: a recording prompt and a free loopback port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QString>
#include <QStringList>
#include <deque>

#include "applet/Prompt.h"

namespace orvyn::test {

using applet::IPrompt;

// Records what the dialogs tell and answers their questions from a queue;
// once the queue is empty every answer is `fallback`.
class FakePrompt : public IPrompt {
public:
    void Tell(const QString& text, const QString&, Icon) override { told << text; }
    bool AskYesNo(const QString& text, const QString&) override { return Answer(text); }
    bool AskOkCancel(const QString& text, const QString&) override { return Answer(text); }
    bool Answer(const QString& text) {
        asked << text;
        if (answers.empty())
            return fallback;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    QStringList told, asked;
    std::deque<bool> answers;
    bool fallback = false;
};

// A loopback port nobody listens on just now.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace orvyn::test
