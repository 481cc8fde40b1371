// A non-allocating event handler: an object pointer plus a routine pointer.
//
// A component raises an event only when a handler is assigned, so the empty
// delegate (no routine) means "unassigned". Two delegates compare equal when
// both the object and the routine are the same, which is what the heat-meter
// component relies on when it parks the owner's handler and puts it back.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace q31 {

template <typename Signature>
class Delegate;

template <typename R, typename... Args>
class Delegate<R(Args...)> {
public:
    using Stub = R (*)(void* object, Args... args);

    constexpr Delegate() noexcept = default;
    constexpr Delegate(std::nullptr_t) noexcept {}

    // Bind a member routine of an object: Delegate<...>::Bind<&T::Method>(obj).
    template <auto Method, typename T>
    static Delegate Bind(T* object) noexcept {
        return Delegate(const_cast<void*>(static_cast<const void*>(object)), &MemberStub<T, Method>);
    }

    // Bind a free routine; the object pointer is passed through as its first argument.
    template <auto Function>
    static Delegate BindFree(void* context = nullptr) noexcept {
        return Delegate(context, &FreeStub<Function>);
    }

    constexpr bool Assigned() const noexcept { return stub_ != nullptr; }
    constexpr explicit operator bool() const noexcept { return Assigned(); }
    constexpr void Clear() noexcept {
        object_ = nullptr;
        stub_ = nullptr;
    }

    R operator()(Args... args) const { return stub_(object_, std::forward<Args>(args)...); }

    constexpr void* Object() const noexcept { return object_; }

    friend constexpr bool operator==(const Delegate& a, const Delegate& b) noexcept {
        return a.object_ == b.object_ && a.stub_ == b.stub_;
    }
    friend constexpr bool operator!=(const Delegate& a, const Delegate& b) noexcept { return !(a == b); }

private:
    constexpr Delegate(void* object, Stub stub) noexcept : object_(object), stub_(stub) {}

    template <typename T, auto Method>
    static R MemberStub(void* object, Args... args) {
        return (static_cast<T*>(object)->*Method)(std::forward<Args>(args)...);
    }

    template <auto Function>
    static R FreeStub(void* object, Args... args) {
        if constexpr (std::is_invocable_v<decltype(Function), void*, Args...>)
            return Function(object, std::forward<Args>(args)...);
        else return Function(std::forward<Args>(args)...);
    }

    void* object_ = nullptr;
    Stub stub_ = nullptr;
};

}  // namespace q31
