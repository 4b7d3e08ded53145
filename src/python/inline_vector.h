#pragma once
// A vector whose first N items live in the object itself. A call over a few bands keeps its
// references, borrows and views on its stack: no allocation, and none of a memory resource's
// virtual calls and bookkeeping, which took about 340 of the 10,300 instructions of a 64 x 64
// ratio expression over two bands (callgrind, PyPy), more than its binding's checks.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

namespace rastrel {

template <class T, std::size_t N>
class InlineVector {
    static_assert(N > 0);
    // Growing moves the items, which must not fail half-way.
    static_assert(std::is_nothrow_move_constructible_v<T>);

public:
    InlineVector() noexcept = default;
    InlineVector(const InlineVector&) = delete;
    InlineVector& operator=(const InlineVector&) = delete;
    // Items end front to back.
    ~InlineVector() {
        std::destroy(begin(), end());
        if (data_ != local()) std::allocator<T>().deallocate(data_, capacity_);
    }

    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        T* grown = std::allocator<T>().allocate(n);
        std::uninitialized_move(begin(), end(), grown);
        std::destroy(begin(), end());
        if (data_ != local()) std::allocator<T>().deallocate(data_, capacity_);
        data_ = grown;
        capacity_ = n;
    }

    // An item that throws while made leaves the vector as it was.
    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) reserve(2 * capacity_);
        T* item = std::construct_at(data_ + size_, std::forward<Args>(args)...);
        ++size_;
        return *item;
    }
    void push_back(T&& item) { emplace_back(std::move(item)); }

    std::size_t size() const noexcept { return size_; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    operator std::span<const T>() const noexcept { return {data_, size_}; }

private:
    T* local() noexcept { return reinterpret_cast<T*>(storage_); }

    alignas(T) std::byte storage_[N * sizeof(T)];
    T* data_ = local();
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace rastrel
