#pragma once

#include "storage_error.h"

#include <functional>
#include <optional>
#include <variant>

namespace vindaro {

// What a read of stored credentials found, delivered once: the value, nothing stored, or why it
// could not be read.
template <typename T> class StorageResult {
public:
    StorageResult(T value)
        : m_value(std::move(value)) {}
    StorageResult(StorageError error)
        : m_value(std::move(error)) {}
    static StorageResult absent() { return StorageResult(); }

    bool isAbsent() const { return std::holds_alternative<std::monostate>(m_value); }
    // Each is null unless the result is of that kind.
    const T* value() const { return std::get_if<T>(&m_value); }
    const StorageError* error() const { return std::get_if<StorageError>(&m_value); }

private:
    StorageResult() = default;
    std::variant<std::monostate, T, StorageError> m_value;
};

// How a write or removal ended, delivered once: no error when it was done.
using StorageDone = std::function<void(const std::optional<StorageError>&)>;

} // namespace vindaro
