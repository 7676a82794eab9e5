// Public header.
//
// Expected<T, E>: a value or the reason there is none, for readers of untrusted bytes.
// (std::expected is C++23; this is the little of it the WebRTC pieces use.)
// Threads: a plain value type.
#pragma once

#include <utility>
#include <variant>

namespace morlanex::webrtc {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> failure) : v_(std::in_place_index<1>, std::move(failure.error)) {}

    bool hasValue() const { return v_.index() == 0; }
    explicit operator bool() const { return hasValue(); }
    T &operator*() { return std::get<0>(v_); }
    const T &operator*() const { return std::get<0>(v_); }
    T *operator->() { return &std::get<0>(v_); }
    const T *operator->() const { return &std::get<0>(v_); }
    const E &error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace morlanex::webrtc
