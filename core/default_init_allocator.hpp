#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tandril {

// Allocator whose value-less construct() leaves trivial elements
// uninitialised, so resizing a vector that is about to be overwritten costs
// no zero-filling pass over memory.
template <class T, class Base = std::allocator<T>>
class DefaultInitAllocator : public Base {
public:
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };

    using Base::Base;

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<Base>::construct(static_cast<Base&>(*this), p, std::forward<Args>(args)...);
    }
};

// A vector for arrays that are sized first and written afterwards.
template <class T>
using FillLaterVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace tandril
