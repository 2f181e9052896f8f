#pragma once

#include <QByteArray>
#include <QUrl>

#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>

namespace vindaro {

// One line from the stream with its LF or CRLF removed; nothing when the input ends before any
// character. Reads no further than the line's end. A line longer than any usable bundle is
// refused with nothing as soon as it passes that length, without reading the rest of it.
std::optional<QByteArray> readOneLine(std::FILE* in);

using SocketProbe = std::function<bool(const QUrl& socketURL)>;

// Reads a legacy bundle line and asks the probe whether its WebSocket opens. Writes the one
// result line and returns the process's exit status: 0 opened, 1 not opened, 2 no usable bundle.
int runConnectionTest(std::FILE* in, std::ostream& out, const SocketProbe& probe);

} // namespace vindaro
