#include "service/transfer/files/LineEndFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace orvyn {
namespace {

// A file in memory: reads hand out at most `step` bytes at a time.
class MemoryFile final : public CFile {
public:
    explicit MemoryFile(std::string text = {}, size_t step = 3) : text_(std::move(text)), step_(step) {}
    size_t Read(void* buffer, size_t size) override {
        const size_t n = std::min({size, step_, text_.size() - pos_});
        text_.copy(static_cast<char*>(buffer), n, pos_);
        pos_ += n;
        return n;
    }
    void Write(const void* buffer, size_t size) override { written.append(static_cast<const char*>(buffer), size); }
    void Close() override { closed = true; }
    void Abort() noexcept override {}
    bool IsOpen() const override { return !closed; }
    bool Ended() const override { return pos_ == text_.size(); }

    std::string written;
    bool closed = false;

private:
    std::string text_;
    size_t step_;
    size_t pos_ = 0;
};

TEST(LineEndFile, ConversionHoldsAcrossChunkBoundaries) {
    // Download: a CR LF split between two reads stays one line end.
    CLineEndFile down(std::make_unique<MemoryFile>("a\nb\r\nc\n\n", 4), CLineEndFile::Direction::ToNetwork);
    std::string sent;
    char buf[16];
    while (!down.Ended()) sent.append(buf, down.Read(buf, sizeof buf));
    EXPECT_EQ(sent, "a\r\nb\r\nc\r\n\r\n");

    // Upload: a CR at the end of one write waits to see what follows; a lone
    // CR stays, also at the very end.
    auto* inner = new MemoryFile;
    CLineEndFile up(std::unique_ptr<CFile>(inner), CLineEndFile::Direction::FromNetwork);
    for (const char* part : {"x\r", "\ny\r", "z\r\n", "\r"}) up.Write(part, std::strlen(part));
    up.Close();
    EXPECT_EQ(inner->written, "x\ny\rz\n\r");
    EXPECT_TRUE(inner->closed);
}

}  // namespace
}  // namespace orvyn
