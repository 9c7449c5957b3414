#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace veltro {

// The failure side of an Expected, made by unexpected(): a wrapper so that a value and an error
// of the same type cannot be taken for each other.
template <class E> struct Unexpected { E error; };

template <class E> Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return {std::forward<E>(error)};
}

// A result, or the text saying why there is none: the failures a caller expects and passes on
// (to a client, a log, an alert). Shaped as std::expected, which this standard library lacks in
// C++20, so that it can become that later. Reading the side that is not there is a fault of the
// program, and throws.
template <class T, class E = std::string> class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Expected(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    E& error() { return std::get<1>(state_); }
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

// Success that carries nothing, or the error.
template <class E> class Expected<void, E> {
public:
    Expected() = default;
    template <class G> Expected(Unexpected<G> failure) : error_(std::move(failure.error)) {}

    bool has_value() const { return !error_; }
    explicit operator bool() const { return has_value(); }
    const E& error() const { return error_.value(); }

private:
    std::optional<E> error_;
};

} // namespace veltro
