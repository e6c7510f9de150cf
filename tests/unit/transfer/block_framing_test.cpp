// Block mode: the send buffer's framing and the upload decoder, each alone
// and in round trips through random read and split sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "service/transfer/files/BlockFraming.h"

namespace orvyn {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Runs source through a CSendBuffer the way the send loop does: refill when
// due with reads of random size up to what is offered, send random amounts.
Bytes SendThrough(const Bytes& source, size_t bufferSize, bool blockMode, std::mt19937& rng,
                  size_t* maxRead = nullptr) {
    CSendBuffer buf(bufferSize, blockMode);
    Bytes wire;
    size_t pos = 0;
    bool ended = false;
    while (!ended || !buf.Empty()) {
        if (!ended) {
            auto space = buf.RefillSpace();
            if (!space.empty()) {
                if (maxRead) *maxRead = std::max(*maxRead, space.size());
                const size_t want = 1 + rng() % space.size();
                const size_t n = std::min(want, source.size() - pos);
                if (n == 0) {
                    buf.EndOfSource();
                    ended = true;
                } else {
                    std::memcpy(space.data(), source.data() + pos, n);
                    pos += n;
                    buf.CommitRead(n);
                }
            }
        }
        auto unsent = buf.Unsent();
        if (!unsent.empty()) {
            const size_t n = 1 + rng() % unsent.size();
            wire.insert(wire.end(), unsent.begin(), unsent.begin() + static_cast<long>(n));
            buf.MarkSent(n);
        }
    }
    return wire;
}

// Decodes wire in chunks of random size (headers get split anywhere).
Bytes Decode(CBlockDecoder& dec, Bytes wire, std::mt19937& rng, size_t* leftover = nullptr) {
    Bytes out;
    size_t pos = 0;
    while (pos < wire.size() && !dec.EndSeen()) {
        const size_t n = std::min<size_t>(1 + rng() % 7000, wire.size() - pos);
        Bytes chunk(wire.begin() + static_cast<long>(pos), wire.begin() + static_cast<long>(pos + n));
        size_t consumed = 0;
        const size_t payload = dec.Decode(chunk.data(), chunk.size(), &consumed);
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<long>(payload));
        pos += consumed;
        if (consumed < n) break;
    }
    if (leftover) *leftover = wire.size() - pos;
    return out;
}

TEST(SendBuffer, StreamModePassesBytesUnchanged) {
    std::mt19937 rng(1);
    for (size_t size : {0u, 1u, 100u, 16384u, 100000u}) {
        const Bytes src = RandomBytes(rng, size);
        EXPECT_EQ(SendThrough(src, 16384, false, rng), src) << size;
    }
}

TEST(SendBuffer, BlockModeFramesEachReadAndEndsWithAnEmptyEofBlock) {
    CSendBuffer buf(64, true);
    auto space = buf.RefillSpace();
    ASSERT_EQ(space.size(), 32u);  // half the buffer
    std::memcpy(space.data(), "abcde", 5);
    buf.CommitRead(5);
    // Still less than half unsent: another refill, another block.
    space = buf.RefillSpace();
    ASSERT_FALSE(space.empty());
    std::memcpy(space.data(), "XY", 2);
    buf.CommitRead(2);
    space = buf.RefillSpace();
    ASSERT_FALSE(space.empty());
    buf.EndOfSource();
    const auto unsent = buf.Unsent();
    const Bytes wire(unsent.begin(), unsent.end());
    const Bytes expected = {0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 2, 'X', 'Y', 64, 0, 0};
    EXPECT_EQ(wire, expected);
    buf.MarkSent(wire.size());
    EXPECT_TRUE(buf.Empty());
}

TEST(SendBuffer, EmptyFileIsJustTheEofBlock) {
    CSendBuffer buf(16384, true);
    ASSERT_FALSE(buf.RefillSpace().empty());
    buf.EndOfSource();
    const auto unsent = buf.Unsent();
    EXPECT_EQ(Bytes(unsent.begin(), unsent.end()), Bytes({64, 0, 0}));
}

TEST(SendBuffer, NoRefillWhileHalfIsUnsent) {
    CSendBuffer buf(100, false);
    auto space = buf.RefillSpace();
    ASSERT_EQ(space.size(), 50u);
    buf.CommitRead(50);
    EXPECT_TRUE(buf.RefillSpace().empty());
    buf.MarkSent(1);
    EXPECT_EQ(buf.RefillSpace().size(), 50u);
}

TEST(SendBuffer, CancelledRefillGivesTheHeaderBack) {
    CSendBuffer buf(64, true);
    ASSERT_FALSE(buf.RefillSpace().empty());
    buf.CancelRefill();  // the source had nothing yet
    EXPECT_TRUE(buf.Empty());
    auto space = buf.RefillSpace();
    std::memcpy(space.data(), "q", 1);
    buf.CommitRead(1);
    const auto unsent = buf.Unsent();
    EXPECT_EQ(Bytes(unsent.begin(), unsent.end()), Bytes({0, 0, 1, 'q'}));
}

TEST(SendBuffer, EofQueuedWhenTheBufferIsFull) {
    // An 8-byte buffer holding one full block (3 + 4 bytes) has no room for
    // the end-of-file block; it goes out once the block has been sent.
    CSendBuffer buf(8, true);
    auto space = buf.RefillSpace();
    ASSERT_EQ(space.size(), 4u);
    std::memcpy(space.data(), "wxyz", 4);
    buf.CommitRead(4);
    EXPECT_TRUE(buf.RefillSpace().empty());
    buf.EndOfSource();
    EXPECT_FALSE(buf.Empty());
    Bytes wire;
    while (!buf.Empty()) {
        const auto unsent = buf.Unsent();
        ASSERT_FALSE(unsent.empty());
        const size_t n = std::min<size_t>(5, unsent.size());
        wire.insert(wire.end(), unsent.begin(), unsent.begin() + static_cast<long>(n));
        buf.MarkSent(n);
    }
    EXPECT_EQ(wire, Bytes({0, 0, 4, 'w', 'x', 'y', 'z', 64, 0, 0}));
}

TEST(SendBuffer, BlocksNeverExceed65535) {
    std::mt19937 rng(7);
    const Bytes src = RandomBytes(rng, 300000);
    size_t maxRead = 0;
    const Bytes wire = SendThrough(src, 200000, true, rng, &maxRead);
    EXPECT_LE(maxRead, kMaxBlockPayload);
    EXPECT_EQ(maxRead, kMaxBlockPayload);  // half of 200000 is more; the limit bites
    // Walk the headers.
    size_t pos = 0;
    size_t blocks = 0;
    while (pos + 3 <= wire.size()) {
        const size_t count = (static_cast<size_t>(wire[pos + 1]) << 8) | wire[pos + 2];
        ++blocks;
        if (wire[pos] == kBlockEndOfFile) {
            EXPECT_EQ(count, 0u);
            EXPECT_EQ(pos + 3, wire.size());  // the EOF block is the last thing sent
            break;
        }
        EXPECT_EQ(wire[pos], 0);
        pos += 3 + count;
    }
    EXPECT_GE(blocks, 6u);
}

TEST(BlockRoundTrip, RandomSizesAndSplits) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 60; ++round) {
        const size_t size = round < 5 ? static_cast<size_t>(round) : rng() % 250000;
        const size_t bufferSize = 64 + rng() % 140000;
        const Bytes src = RandomBytes(rng, size);
        const Bytes wire = SendThrough(src, bufferSize, true, rng);
        CBlockDecoder dec;
        size_t leftover = 99;
        EXPECT_EQ(Decode(dec, wire, rng, &leftover), src) << "size " << size << " buffer " << bufferSize;
        EXPECT_TRUE(dec.EndSeen());
        EXPECT_EQ(leftover, 0u);
    }
}

TEST(BlockDecoder, HeaderSplitByteByByte) {
    const Bytes wire = {0, 0, 3, 'a', 'b', 'c', 0, 1, 0};
    Bytes big = wire;
    big.resize(wire.size() + 256, 'z');
    big.push_back(64);
    big.push_back(0);
    big.push_back(0);
    CBlockDecoder dec;
    Bytes out;
    for (size_t i = 0; i < big.size(); ++i) {
        uint8_t b = big[i];
        size_t consumed = 0;
        const size_t n = dec.Decode(&b, 1, &consumed);
        EXPECT_EQ(consumed, 1u);
        if (n) out.push_back(b);
        EXPECT_EQ(dec.EndSeen(), i + 1 == big.size());
    }
    Bytes expected = {'a', 'b', 'c'};
    expected.resize(3 + 256, 'z');
    EXPECT_EQ(out, expected);
}

TEST(BlockDecoder, EofWithPayloadAndBytesAfterIt) {
    // Last block carries data and the EOF bit; what follows is not this file's.
    Bytes wire = {0, 0, 2, 'h', 'i', 64 | 128, 0, 3, 'e', 'n', 'd', 0, 0, 1, '!'};
    CBlockDecoder dec;
    size_t consumed = 0;
    const size_t n = dec.Decode(wire.data(), wire.size(), &consumed);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(n)), Bytes({'h', 'i', 'e', 'n', 'd'}));
    EXPECT_TRUE(dec.EndSeen());
    EXPECT_EQ(consumed, 11u);
    // Nothing more is taken until the decoder is reset for the next file.
    uint8_t more[4] = {0, 0, 1, '!'};
    EXPECT_EQ(dec.Decode(more, 4, &consumed), 0u);
    EXPECT_EQ(consumed, 0u);
    dec.Reset();
    EXPECT_EQ(dec.Decode(more, 4, &consumed), 1u);
    EXPECT_EQ(more[0], '!');
}

TEST(BlockDecoder, RestartMarkersAreNotFileData) {
    Bytes wire = {0, 0, 2, 'a', 'b', kBlockRestartMarker, 0, 4, '1', '2', '3', '4', 0, 0, 1, 'c', 64, 0, 0};
    CBlockDecoder dec;
    size_t consumed = 0;
    const size_t n = dec.Decode(wire.data(), wire.size(), &consumed);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(n)), Bytes({'a', 'b', 'c'}));
    EXPECT_TRUE(dec.EndSeen());
}

TEST(BlockDecoder, UnknownAndOtherDescriptorBitsKeepTheirData) {
    Bytes wire = {0x0F, 0, 1, 'u', kBlockSuspectErrors, 0, 1, 's', kBlockEndOfRecord, 0, 1, 'r', 0, 0, 0, 64, 0, 0};
    CBlockDecoder dec;
    size_t consumed = 0;
    const size_t n = dec.Decode(wire.data(), wire.size(), &consumed);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + static_cast<long>(n)), Bytes({'u', 's', 'r'}));
    EXPECT_TRUE(dec.EndSeen());
    EXPECT_EQ(consumed, wire.size());
}

TEST(BlockDecoder, PartialStateIsVisible) {
    CBlockDecoder dec;
    EXPECT_TRUE(dec.AtBlockBoundary());
    uint8_t part[2] = {0, 0};
    size_t consumed = 0;
    EXPECT_EQ(dec.Decode(part, 2, &consumed), 0u);
    EXPECT_FALSE(dec.AtBlockBoundary());
    uint8_t rest[2] = {1, 'x'};
    EXPECT_EQ(dec.Decode(rest, 2, &consumed), 1u);
    EXPECT_EQ(rest[0], 'x');
    EXPECT_TRUE(dec.AtBlockBoundary());
    EXPECT_FALSE(dec.EndSeen());
}

}  // namespace
}  // namespace orvyn
