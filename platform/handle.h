// Ownership of kernel handles.
#pragma once

#include <windows.h>

namespace rw {

// Move-only owner of one kernel handle. A handle is valid when it is neither
// null nor INVALID_HANDLE_VALUE; only a valid handle is ever closed.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    static bool isValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    bool valid() const { return isValid(h_); }
    explicit operator bool() const { return valid(); }
    HANDLE get() const { return h_; }

    // Gives up ownership: the caller now closes the handle (or keeps it open).
    HANDLE release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

}  // namespace rw
