#include "self_test.h"

#include "keyboard/key_command.h"
#include "model/agent_error.h"
#include "model/agent_pairing.h"
#include "model/agent_session.h"
#include "model/constants.h"
#include "model/json_fields.h"
#include "model/text_rules.h"
#include "pairing/pairing_request.h"

#include <QStringList>

namespace vindaro {

namespace {

// A check that fails ends the run with its detail line.
struct CheckFailed {
    QString detail;
};

void check(bool passed, const QString& detail) {
    if (!passed)
        throw CheckFailed{detail};
}

QString trustedURL(const char* path) {
    return QStringLiteral("wss://") + toQString(trustedHost) + QString::fromLatin1(path);
}

// The names the service may send, listed here rather than read from the key map so that a
// key missing from the map is noticed.
QStringList requiredKeyNames() {
    QStringList names{QStringLiteral("SPACE"), QStringLiteral("ENTER"),    QStringLiteral("TAB"),
                      QStringLiteral("ESC"),   QStringLiteral("UP"),       QStringLiteral("DOWN"),
                      QStringLiteral("LEFT"),  QStringLiteral("RIGHT"),    QStringLiteral("SHIFT"),
                      QStringLiteral("CTRL"),  QStringLiteral("BACKSPACE")};
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        names.append(QString(QLatin1Char(letter)));
    for (char digit = '0'; digit <= '9'; ++digit)
        names.append(QString(QLatin1Char(digit)));
    for (int function = 1; function <= 12; ++function)
        names.append(QStringLiteral("F") + QString::number(function));
    return names;
}

// Runs a construction that must fail with `expected`; any other outcome is reported with the
// given detail lines.
template <typename Build>
void expectRejection(Build build, AgentError::Kind expected, const QString& acceptedDetail,
                     const QString& wrongDetail) {
    try {
        build();
    } catch (const AgentError& error) {
        check(error.kind() == expected, wrongDetail + error.description());
        return;
    } catch (const std::exception& error) {
        check(false, wrongDetail + QString::fromUtf8(error.what()));
    }
    check(false, acceptedDetail);
}

void checkPairingRequest() {
    const PairingRequest request{
        QStringLiteral("123456"),   QStringLiteral("11111111-2222-3333-4444-555555555555"),
        QStringLiteral("Test Mac"), QStringLiteral("macos"),
        toQString(appVersion),      pairingProtocolVersion};
    const QJsonObject object = decodeJsonObject(request.encode());
    const auto stringIs = [&](const char* name, const QString& expected) {
        const QJsonValue value = object.value(QLatin1StringView(name));
        return value.isString() && value.toString() == expected;
    };
    bool versionIsTwo = false;
    try {
        versionIsTwo = requiredInteger(object, QLatin1StringView("protocolVersion")) == 2;
    } catch (const JsonDecodeError&) {
    }
    check(stringIs("code", QStringLiteral("123456")) &&
              stringIs("platform", QStringLiteral("macos")) &&
              stringIs("appVersion", QStringLiteral("0.2.0")) && versionIsTwo,
          QStringLiteral("pairing-request"));
}

void runChecks() {
    const AgentPairing pairing =
        AgentPairing::fromBundle(trustedURL("/ws") + QStringLiteral("|ABC1234|test_token-123"));
    const AgentSession session(trustedURL("/ws?untrusted=discarded"), QStringLiteral("session_123"),
                               QStringLiteral("agent_456"), QStringLiteral("session_token-456"),
                               pairingProtocolVersion);

    check(pairing.room() == u"ABC1234", QStringLiteral("room"));

    const auto legacyURL = pairing.socketURL();
    check(legacyURL && legacyURL->toString(QUrl::FullyEncoded).contains(u"role=agent"),
          QStringLiteral("socket-url"));

    check(isValidPairingCode(QStringLiteral("123456")) &&
              !isValidPairingCode(QStringLiteral("12345")) &&
              !isValidPairingCode(QStringLiteral("12345A")),
          QStringLiteral("pairing-code"));

    const auto sessionURL = session.socketURL();
    check(sessionURL && sessionURL->toString(QUrl::FullyEncoded) ==
                            trustedURL("/ws?role=agent&sessionId=session_123&agentId=agent_456"),
          QStringLiteral("v2-socket-url"));
    const auto sessionURLAgain = session.socketURL();
    check(sessionURLAgain && !sessionURLAgain->toString(QUrl::FullyEncoded).contains(u"token"),
          QStringLiteral("v2-socket-url"));

    checkPairingRequest();

    const auto space = KeyMap::code(QStringLiteral("SPACE"));
    const auto w = KeyMap::code(QStringLiteral("w"));
    check(space && space->code == 49 && w && w->code == 13, QStringLiteral("keycode"));

    const QString missing = missingKeyNames(KeyMap::code);
    check(missing.isEmpty(), QStringLiteral("missing ") + missing);

    check(!KeyMap::code(QStringLiteral("UNKNOWN")), QStringLiteral("unknown"));

    const KeyCommand command = KeyCommand::decode(
        R"({"type":"key","key":"SPACE","pressCount":2,"holdMs":80,"source":"self-test"})");
    check(command.type == u"key" && command.pressCount == 2, QStringLiteral("decode"));

    expectRejection(
        [] {
            AgentPairing::fromBundle(QStringLiteral("ws://") + toQString(trustedHost) +
                                     QStringLiteral("/ws|ROOM|TOKEN123"));
        },
        AgentError::Kind::insecureServer, QStringLiteral("insecure accepted"),
        QStringLiteral("wrong rejection "));
    expectRejection(
        [] {
            AgentSession(QStringLiteral("wss://example.com/ws"), QStringLiteral("session"),
                         QStringLiteral("agent"), QStringLiteral("testtokenab_1"),
                         pairingProtocolVersion);
        },
        AgentError::Kind::invalidPairingResponse, QStringLiteral("untrusted v2 host accepted"),
        QStringLiteral("wrong v2 host rejection "));
    expectRejection(
        [] {
            AgentSession(trustedURL("/ws"), QStringLiteral("session"), QStringLiteral("agent"),
                         QStringLiteral("testtokenab_1"), 99);
        },
        AgentError::Kind::unsupportedProtocol, QStringLiteral("unsupported protocol accepted"),
        QStringLiteral("wrong protocol rejection "));
}

} // namespace

QString missingKeyNames(const KeyLookup& lookup) {
    QStringList missing;
    for (const QString& name : requiredKeyNames()) {
        if (!lookup(name))
            missing.append(name);
    }
    return missing.join(QLatin1Char(','));
}

bool runSelfTest(std::ostream& out) {
    QString detail;
    try {
        runChecks();
        return true;
    } catch (const CheckFailed& failed) {
        detail = failed.detail;
    } catch (const AgentError& error) {
        detail = error.description();
    } catch (const std::exception& error) {
        detail = QString::fromUtf8(error.what());
    }
    out << "SELF_TEST_DETAIL: " << detail.toStdString() << '\n';
    return false;
}

} // namespace vindaro
