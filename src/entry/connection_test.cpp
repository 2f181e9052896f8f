#include "connection_test.h"

#include "model/agent_error.h"
#include "model/agent_pairing.h"

namespace vindaro {

namespace {
// Far above any bundle worth parsing (a 512-character token, a short URL, a room), yet small
// enough that hostile input cannot make the agent hold much.
constexpr qsizetype maxLineBytes = 1 << 20;
} // namespace

std::optional<QByteArray> readOneLine(std::FILE* in) {
    QByteArray line;
    bool endedByLineFeed = false;
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
        if (c == '\n') {
            endedByLineFeed = true;
            break;
        }
        // Reading on to the line's end could take for ever (an endless stream, or a writer that
        // never ends its line), and the line is refused whatever follows.
        if (line.size() == maxLineBytes)
            return std::nullopt;
        line.append(static_cast<char>(c));
    }
    if (line.isEmpty() && !endedByLineFeed)
        return std::nullopt;
    if (endedByLineFeed && line.endsWith('\r'))
        line.chop(1);
    return line;
}

int runConnectionTest(std::FILE* in, std::ostream& out, const SocketProbe& probe) {
    std::optional<QUrl> socketURL;
    if (const auto line = readOneLine(in)) {
        try {
            socketURL = AgentPairing::fromBundle(QString::fromUtf8(*line)).socketURL();
        } catch (const AgentError&) {
            // Which rule the bundle broke is not shown: every failure reads the same.
        }
    }
    if (!socketURL) {
        out << "CONNECTION_TEST_INVALID_BUNDLE\n";
        return 2;
    }
    if (probe(*socketURL)) {
        out << "CONNECTION_TEST_OK\n";
        return 0;
    }
    out << "CONNECTION_TEST_FAILED\n";
    return 1;
}

} // namespace vindaro
