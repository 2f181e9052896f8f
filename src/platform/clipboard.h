#pragma once

#include <QString>

#include <optional>

namespace vindaro {

// The desktop's clipboard, read on the main thread.
class Clipboard {
public:
    virtual ~Clipboard() = default;

    // The clipboard's plain text, or nothing when it holds no text.
    virtual std::optional<QString> plainText() const = 0;
};

} // namespace vindaro
