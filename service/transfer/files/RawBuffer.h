// The bytes of a transfer buffer, left unset: only what a transfer writes is
// ever touched, so a large buffer costs a small transfer only the pages it
// uses (zeroing it first would fault in every page of it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orvyn {

class CRawBuffer {
public:
    CRawBuffer() = default;
    explicit CRawBuffer(size_t size) : data_(new uint8_t[size]), size_(size) {}

    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Gives the memory back.
    void Release() {
        data_.reset();
        size_ = 0;
    }

private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
};

}  // namespace orvyn
