// CPopenFile: the output of a conversion command read as a file.
//
// The command runs as a child process without any shell, in the given
// working directory, in a process group of its own, with standard input from
// /dev/null, standard output into a pipe and the service's standard error;
// no other descriptor of the service reaches it. The read end of the pipe is
// non-blocking: Read returns at once, with 0 when the child has written
// nothing yet, so the caller watches fd() with the event loop and a silent
// child holds up nobody. Close ends the child (SIGTERM to its group, SIGKILL
// after the reaper's grace time) and closes the pipe; the reaper collects it
// so no zombie is left.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "service/transfer/files/File.h"

namespace orvyn {

class CChildReaper;

class CPopenFile : public CFile {
public:
    // reaper collects children that do not exit at once on Close; without
    // one, Close kills the child outright and waits for it.
    explicit CPopenFile(CChildReaper* reaper = nullptr);
    ~CPopenFile() override;
    CPopenFile(const CPopenFile&) = delete;
    CPopenFile& operator=(const CPopenFile&) = delete;

    // Starts argv[0] (looked up in PATH) with argv in workingDir. False when
    // the pipe cannot be made or the child cannot be started (no such
    // program, no such folder); errno() then tells why.
    bool Open(const std::vector<std::string>& argv, const std::string& workingDir);

    // Whether the child has not exited yet.
    bool IsRunning() const;
    // The pipe's read end, for the event loop; -1 when closed.
    int fd() const { return readFd_; }
    pid_t pid() const { return pid_; }
    int error() const { return error_; }

    // Up to size bytes of the child's output; 0 when nothing is there now or
    // at the end (Ended(): the pipe has closed, or it is empty and the child
    // has exited, whoever else still holds it). Raises CFileException on a
    // pipe failure.
    size_t Read(void* buffer, size_t size) override;
    // A command's output cannot be written: raises access denied.
    void Write(const void* buffer, size_t size) override;
    void Close() override;
    void Abort() noexcept override;
    bool IsOpen() const override { return readFd_ >= 0; }
    bool Ended() const override { return ended_; }

private:
    CChildReaper* reaper_;
    int readFd_ = -1;
    pid_t pid_ = -1;
    bool ended_ = false;
    int error_ = 0;
};

}  // namespace orvyn
