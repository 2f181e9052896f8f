#include "model/agent_error.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using vindaro::AgentError;

TEST(AgentError, PairingFailedMessagesFollowTheStatus) {
    EXPECT_EQ(AgentError::pairingFailed(400).description(),
              AgentError::pairingFailed(404).description());
    EXPECT_EQ(AgentError::pairingFailed(404).description(),
              QStringLiteral("รหัสจับคู่ไม่ถูกต้องหรือหมดอายุ กรุณาสร้างรหัสใหม่บนหน้า Vindaro"));
    EXPECT_EQ(AgentError::pairingFailed(409).description(),
              QStringLiteral("รหัสจับคู่นี้ถูกใช้งานแล้ว กรุณาสร้างรหัสใหม่"));
    EXPECT_EQ(AgentError::pairingFailed(429).description(),
              QStringLiteral("ลองจับคู่ถี่เกินไป กรุณารอสักครู่แล้วลองใหม่"));
    EXPECT_EQ(AgentError::pairingFailed(500).description(),
              QStringLiteral("เซิร์ฟเวอร์ไม่สามารถจับคู่ Agent ได้ (รหัส 500)"));
    EXPECT_EQ(AgentError::pairingFailed(-1).description(),
              QStringLiteral("เซิร์ฟเวอร์ไม่สามารถจับคู่ Agent ได้ (รหัส -1)"));
}

TEST(AgentError, MessagesAreTheFixedThaiTexts) {
    EXPECT_EQ(AgentError::unsupportedKey(QStringLiteral("hOme ")).description(),
              QStringLiteral("ไม่รองรับปุ่ม hOme "));
    EXPECT_EQ(AgentError::unsupportedHost().description(),
              QStringLiteral("Agent รุ่นนี้เชื่อมต่อได้เฉพาะ vindaro.net"));
    EXPECT_EQ(AgentError::invalidServer().description(), QStringLiteral("ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง"));
    EXPECT_EQ(AgentError::accessibilityRequired().description(),
              QStringLiteral("กรุณาอนุญาต Vindaro Agent ใน Privacy & Security → Accessibility"));
    // what() is the same message, for code that only sees std::exception.
    EXPECT_EQ(QString::fromUtf8(AgentError::missingCredentials().what()),
              QStringLiteral("รหัสห้องหรือ Token ไม่ครบ"));
}
