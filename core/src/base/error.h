// Error values of the core. Nothing is thrown across the core's boundary except
// std::bad_alloc, which the binding turns into MemoryError.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace korvane {

struct EngineError {
    // The numbering is part of the contract: the binding maps kinds to exception classes.
    enum class Kind : std::uint8_t {
        DimensionMismatch = 0,
        InvalidBitWidth = 1,
        InvalidMetricByte = 2,
        EmptyIndex = 3,
        CountMismatch = 4,
        Io = 5,
        InvalidFile = 6,
        UnsupportedVersion = 7,
        UnsupportedIndexTypeByte = 8,
        IndexTypeNotImplemented = 9,
        NotBuilt = 10,
        EmptySample = 11,
        FitAfterAdd = 12,
        // Not one of the original kinds: a value the index cannot work with, refused
        // where the original would have failed later or misbehaved (a ValueError).
        InvalidArgument = 13,
        // Long work (an add, a build) stopped at a clean point because it was asked to.
        Interrupted = 14,
        // An id no row holds (a KeyError naming it, in a).
        UnknownId = 15,
    };

    Kind kind;
    std::uint64_t a = 0;  // first numeric payload (expected, bit width, byte, ids, version)
    std::uint64_t b = 0;  // second numeric payload (got, vectors)
    std::string text;     // text payload (Io, InvalidFile, IndexTypeNotImplemented, InvalidArgument)

    static EngineError dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
        return {Kind::DimensionMismatch, expected, got, {}};
    }
    static EngineError invalid_bit_width(std::uint8_t bits) { return {Kind::InvalidBitWidth, bits, 0, {}}; }
    static EngineError invalid_metric_byte(std::uint8_t byte) { return {Kind::InvalidMetricByte, byte, 0, {}}; }
    static EngineError empty_index() { return {Kind::EmptyIndex, 0, 0, {}}; }
    static EngineError count_mismatch(std::uint64_t ids, std::uint64_t vectors) {
        return {Kind::CountMismatch, ids, vectors, {}};
    }
    static EngineError io(std::string what) { return {Kind::Io, 0, 0, std::move(what)}; }
    static EngineError invalid_file(std::string what) { return {Kind::InvalidFile, 0, 0, std::move(what)}; }
    static EngineError unsupported_version(std::uint32_t v) { return {Kind::UnsupportedVersion, v, 0, {}}; }
    static EngineError unsupported_index_type_byte(std::uint8_t byte) {
        return {Kind::UnsupportedIndexTypeByte, byte, 0, {}};
    }
    static EngineError index_type_not_implemented(std::string type_text) {
        return {Kind::IndexTypeNotImplemented, 0, 0, std::move(type_text)};
    }
    static EngineError not_built() { return {Kind::NotBuilt, 0, 0, {}}; }
    static EngineError empty_sample() { return {Kind::EmptySample, 0, 0, {}}; }
    static EngineError fit_after_add() { return {Kind::FitAfterAdd, 0, 0, {}}; }
    static EngineError invalid_argument(std::string what) { return {Kind::InvalidArgument, 0, 0, std::move(what)}; }
    static EngineError interrupted() { return {Kind::Interrupted, 0, 0, {}}; }
    static EngineError unknown_id(std::uint64_t id) { return {Kind::UnknownId, id, 0, {}}; }

    // The display text; it becomes the Python exception's message.
    std::string message() const;
};

// A value or an EngineError.
template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(EngineError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const EngineError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, EngineError> v_;
};

struct Unit {};
using Status = Expected<Unit>;
inline Status success() { return Unit{}; }

}  // namespace korvane
