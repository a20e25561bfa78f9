// Owning pointer for COM interfaces: releases what it holds exactly once.
#pragma once

#include <utility>

namespace kestrin::winecheck {

template <typename T> class ComPtr {
  public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Slot for an out-parameter; whatever was held before is released first.
    T** put() {
        reset();
        return &p_;
    }

    // Hands the reference to the caller.
    T* release() { return std::exchange(p_, nullptr); }

    void reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }

  private:
    T* p_ = nullptr;
};

} // namespace kestrin::winecheck
