#include "keyboard/key_command.h"
#include "model/json_fields.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using vindaro::JsonDecodeError;
using vindaro::KeyCommand;

TEST(KeyCommand, DecodesEveryMemberAsSent) {
    const KeyCommand command =
        KeyCommand::decode(R"({"type":"key","key":" space","pressCount":-5,"holdMs":99999999999,)"
                           R"("source":"gift","viewer":"nok","extra":[1,{"x":null}]})");
    EXPECT_EQ(command.type, QStringLiteral("key"));
    EXPECT_EQ(command.key, QStringLiteral(" space"));
    EXPECT_EQ(command.pressCount, -5);
    EXPECT_EQ(command.holdMs, 99999999999);
    EXPECT_EQ(command.source, QStringLiteral("gift"));
    EXPECT_EQ(command.viewer, QStringLiteral("nok"));
}

TEST(KeyCommand, AbsentAndNullMembersAreAbsent) {
    const KeyCommand onlyType = KeyCommand::decode(R"({"type":"key"})");
    EXPECT_FALSE(onlyType.key || onlyType.pressCount || onlyType.holdMs || onlyType.source ||
                 onlyType.viewer);
    const KeyCommand nulls = KeyCommand::decode(
        R"({"type":"ping","key":null,"pressCount":null,"holdMs":null,"source":null,"viewer":null})");
    EXPECT_EQ(nulls.type, QStringLiteral("ping"));
    EXPECT_FALSE(nulls.key || nulls.pressCount || nulls.holdMs || nulls.source || nulls.viewer);
}

TEST(KeyCommand, WholeNumbersInAnyNotationAreIntegers) {
    EXPECT_EQ(KeyCommand::decode(R"({"type":"key","holdMs":2.0})").holdMs, 2);
    EXPECT_EQ(KeyCommand::decode(R"({"type":"key","holdMs":1e3})").holdMs, 1000);
    EXPECT_EQ(KeyCommand::decode(R"({"type":"key","holdMs":0})").holdMs, 0);
    EXPECT_EQ(KeyCommand::decode(R"({"type":"key","holdMs":-9223372036854775808})").holdMs,
              std::numeric_limits<qint64>::min());
    EXPECT_EQ(KeyCommand::decode(R"({"type":"key","holdMs":9223372036854775807})").holdMs,
              std::numeric_limits<qint64>::max());
}

TEST(KeyCommand, OneBadMemberFailsTheWholeMessage) {
    for (const char* bytes : {
             R"({"key":"SPACE"})",
             R"({"type":null})",
             R"({"type":1})",
             R"({"type":"key","key":5})",
             R"({"type":"key","pressCount":"2"})",
             R"({"type":"key","pressCount":true})",
             R"({"type":"key","holdMs":2.5})",
             R"({"type":"key","holdMs":9223372036854775808})",
             R"({"type":"key","holdMs":1e300})",
             R"({"type":"key","source":{}})",
             R"({"type":"key","viewer":[]})",
             R"([{"type":"key"}])",
             R"("key")",
             "",
             "not json",
             R"({"type":"key"} trailing)",
             R"({"type":"key",})",
         })
        EXPECT_THROW(KeyCommand::decode(QByteArray(bytes)), JsonDecodeError) << bytes;
}
