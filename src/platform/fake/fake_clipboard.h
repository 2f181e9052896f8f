#pragma once

#include "platform/clipboard.h"

namespace vindaro {

// A clipboard holding whatever the test puts in `text`; nothing at first.
class FakeClipboard final : public Clipboard {
public:
    std::optional<QString> plainText() const override { return text; }

    std::optional<QString> text;
};

} // namespace vindaro
