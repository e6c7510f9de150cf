// Line-end conversion of TYPE A transfers (the instance value TextLineEnds):
// a file read for a download has every bare LF sent as CR LF; an upload has
// every CR LF written as LF (a CR alone stays). Wraps the transfer's file;
// a CR at the end of one write waits for the next.
#pragma once

#include <memory>
#include <string>

#include "service/transfer/files/File.h"

namespace orvyn {

class CLineEndFile final : public CFile {
public:
    enum class Direction { ToNetwork, FromNetwork };

    CLineEndFile(std::unique_ptr<CFile> inner, Direction direction);

    // ToNetwork: reads at most size / 2 bytes of the file, so that the
    // converted text fits (size must be at least 2).
    size_t Read(void* buffer, size_t size) override;
    // FromNetwork.
    void Write(const void* buffer, size_t size) override;
    // Writes a CR still held back, then closes the file.
    void Close() override;
    void Abort() noexcept override { inner_->Abort(); }
    bool IsOpen() const override { return inner_->IsOpen(); }
    bool Ended() const override { return inner_->Ended(); }
    bool EndedShort(uint64_t& at, uint64_t& of) const override { return inner_->EndedShort(at, of); }
    bool Place(uint64_t& position, uint64_t& length) const override { return inner_->Place(position, length); }
    int DiskDescriptor() const override { return inner_->DiskDescriptor(); }

private:
    std::unique_ptr<CFile> inner_;
    Direction direction_;
    std::string work_;
    char previous_ = 0;        // ToNetwork: the last byte read
    bool pendingCr_ = false;   // FromNetwork: a CR at the end of the last write
};

}  // namespace orvyn
