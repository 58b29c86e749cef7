#pragma once
// "A value, or why not": the one shape every layer returns a fallible value
// in, after std::expected (which the compilers we build with lack). The
// reason is a sentence for the operator unless the layer says otherwise.

#include <string>
#include <utility>
#include <variant>

namespace j4 {

template <class E> struct Failure { E error; };
template <class E> Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}
inline Failure<std::string> fail(const char* error) {
    return {error};
}

template <class T, class E = std::string> class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Failure<F> failure) : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

// What a check that has no value returns when it passes: Result<Done>.
struct Done {};

} // namespace j4
