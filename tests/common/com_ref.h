// An owning pointer for COM interfaces, shared by the tests of the native stand-ins and by the
// Windows check programs: it holds one reference and releases it exactly once.
#pragma once

#include <utility>

namespace kestrin::test_support {

template <class T> class Ref {
  public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
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

    // Hands the reference to the caller without releasing it.
    T* release() { return std::exchange(p_, nullptr); }

    void reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }

  private:
    T* p_ = nullptr;
};

} // namespace kestrin::test_support
