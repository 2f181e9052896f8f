#include "agent_text.h"

#include "model/constants.h"

namespace vindaro {

QString text(AgentText id, const QString& detail) {
    switch (id) {
    case AgentText::permissionGranted:
        return QStringLiteral("🟢 Accessibility พร้อมใช้งาน");
    case AgentText::permissionMissing:
        return QStringLiteral("🔴 ต้องอนุญาต Accessibility ก่อน");
    case AgentText::notConnected:
        return QStringLiteral("🔴 ยังไม่เชื่อมต่อ");
    case AgentText::connecting:
        return QStringLiteral("🟡 กำลังเชื่อมต่อ…");
    case AgentText::connected:
        return QStringLiteral("🟢 เชื่อม Vindaro แล้ว");
    case AgentText::reconnecting:
        return QStringLiteral("🟡 หลุดชั่วคราว "
                              "กำลังเชื่อมใหม่…");
    case AgentText::pairing:
        return QStringLiteral("🟡 กำลังจับคู่เครื่อง…");
    case AgentText::pairingFailed:
        return QStringLiteral("🔴 จับคู่ไม่สำเร็จ");
    case AgentText::armed:
        return QStringLiteral("🎮 พร้อมกดคีย์ — คลิกกลับเข้าเกม");
    case AgentText::notArmed:
        return QStringLiteral(
            "⏸️ ยังไม่ส่งคีย์เข้าเกม");

    case AgentText::pause:
        return QStringLiteral("พักรับคำสั่ง");
    case AgentText::resume:
        return QStringLiteral("พร้อมเล่นต่อ");

    case AgentText::pinButton:
        return QStringLiteral("ล็อกหน้าต่างเกม");
    case AgentText::unpinButton:
        return QStringLiteral("ยกเลิกล็อกหน้าต่าง");
    case AgentText::pinUnavailable:
        return QStringLiteral("เดสก์ท็อปนี้ไม่บอกว่าหน้าต่างไหนอยู่ด้านหน้า จึงล็อกหน้าต่างเกมไม่ได้");
    case AgentText::notPinned:
        return QStringLiteral("🎯 ส่งคีย์ไปยังหน้าต่างที่อยู่ด้านหน้า");
    case AgentText::choosingWindow:
        return QStringLiteral("⏳ คลิกหน้าต่างเกมภายใน 10 วินาที…");
    case AgentText::pinnedTo:
        return QStringLiteral("🎯 ส่งคีย์เฉพาะหน้าต่าง: ") + detail;
    case AgentText::pinnedWindowGone:
        return QStringLiteral("⚠️ หน้าต่างเกมถูกปิด — "
                              "ล็อกหน้าต่างใหม่หรือยกเลิกล็อก");
    case AgentText::pinnedLog:
        return QStringLiteral("ล็อกหน้าต่างเกมแล้ว: ") + detail;
    case AgentText::pinTimedOut:
        return QStringLiteral("ไม่มีหน้าต่างเกมถูกเลือกภายใน 10 วินาที — กดล็อกหน้าต่างเกมแล้วคลิกเกมอีกครั้ง");
    case AgentText::unpinned:
        return QStringLiteral("ยกเลิกล็อกหน้าต่างแล้ว — ส่งคีย์ไปยังหน้าต่างที่อยู่ด้านหน้า");
    case AgentText::pinnedWindowClosedLog:
        return QStringLiteral("หน้าต่างเกมที่ล็อกไว้ถูกปิด — งดส่งคีย์จนกว่าจะล็อกใหม่หรือยกเลิกล็อก");
    case AgentText::skippedNotInFront:
        return QStringLiteral("หน้าต่างเกมไม่ได้อยู่ด้านหน้า จึงข้ามคำสั่ง ") + detail;
    case AgentText::skippedPinnedClosed:
        return QStringLiteral("หน้าต่างเกมถูกปิด จึงข้ามคำสั่ง ") + detail;
    case AgentText::skippedAgentWindow:
        return QStringLiteral("หน้าต่างของ Agent อยู่ด้านหน้า จึงข้ามคำสั่ง ") + detail +
               QStringLiteral(" — คลิกหน้าต่างเกมก่อน");
    case AgentText::skippedNoWindow:
        return QStringLiteral("ไม่มีหน้าต่างที่รับคีย์ได้ จึงข้ามคำสั่ง ") + detail +
               QStringLiteral(" (แอป Wayland แท้รับคีย์จาก Agent ไม่ได้)");

    case AgentText::stopKeyReady:
        return QStringLiteral("⌨️ กด Pause เพื่อหยุดทันที");
    case AgentText::stopKeyTaken:
        return QStringLiteral("⚠️ ปุ่ม Pause "
                              "ถูกโปรแกรมอื่นจองไว้ "
                              "— ") +
               QStringLiteral("ใช้ปุ่ม “หยุดทันที” แทน");
    case AgentText::stopKeyNeedsShortcut:
        return QStringLiteral("⌨️ ตั้งปุ่มลัด Pause "
                              "ของเดสก์ท็อปให้สั่ง ") +
               QStringLiteral("vindaro-agent --stop เพื่อหยุดทันที");
    case AgentText::stopKeyUnavailable:
        return QStringLiteral("⚠️ ปุ่ม Pause "
                              "ใช้หยุดไม่ได้บนเดสก์ท็อปนี้ "
                              "— ") +
               QStringLiteral("ใช้ปุ่ม “หยุดทันที” แทน");
    case AgentText::stopKeyPressed:
        return QStringLiteral("กด Pause — หยุดทันที");
    case AgentText::stopRequested:
        return QStringLiteral("ได้รับคำสั่ง vindaro-agent --stop — หยุดทันที");

    case AgentText::blockedKeysLabel:
        return QStringLiteral("ปุ่มที่ห้ามผู้ชมกด");
    case AgentText::blockedKeysExample:
        return QStringLiteral("เช่น ENTER, ESC, T");
    case AgentText::blockedKeysSet:
        return QStringLiteral("ห้ามผู้ชมกด: ") + detail;
    case AgentText::blockedKeysNone:
        return QStringLiteral("ผู้ชมกดได้ทุกปุ่มที่รองรับ");
    case AgentText::blockedKeysRefused:
        return QStringLiteral("ไม่รู้จักปุ่ม ") + detail +
               QStringLiteral(" — ใช้ชื่อปุ่มที่ Agent รองรับ เช่น ENTER, ESC, T, F1");
    case AgentText::storedBlockedKeysBad:
        return QStringLiteral("ข้ามชื่อปุ่มที่ไม่รู้จักในรายการห้ามกด: ") + detail;
    case AgentText::skippedBlockedKey:
        return QStringLiteral("ข้ามปุ่มที่ห้ามผู้ชมกด: ") + detail;

    case AgentText::cooldownLabel:
        return QStringLiteral("พักปุ่มละ (ms)");
    case AgentText::perMinuteLabel:
        return QStringLiteral("สูงสุดต่อนาที");
    case AgentText::limitOff:
        return QStringLiteral("ปิด");
    case AgentText::cooldownSet:
        return QStringLiteral("ปุ่มเดียวกันต้องเว้น ") + detail + QStringLiteral(" ms ก่อนรับคำสั่งถัดไป");
    case AgentText::cooldownOff:
        return QStringLiteral("ไม่ต้องเว้นช่วงพักระหว่างคำสั่งของปุ่มเดียวกัน");
    case AgentText::perMinuteSet:
        return QStringLiteral("รับคำสั่งผู้ชมไม่เกิน ") + detail + QStringLiteral(" คำสั่งต่อนาที");
    case AgentText::perMinuteOff:
        return QStringLiteral("ไม่จำกัดจำนวนคำสั่งต่อนาที");
    case AgentText::cooldownRefused:
        return QStringLiteral("ช่วงพักของปุ่มต้องเป็นจำนวนเต็ม 0–60000 ms หรือเว้นว่างเพื่อปิด");
    case AgentText::perMinuteRefused:
        return QStringLiteral("จำนวนคำสั่งต่อนาทีต้องเป็นจำนวนเต็ม 1–600 หรือเว้นว่างเพื่อปิด");
    case AgentText::storedLimitsBad:
        return QStringLiteral("ค่าจำกัดคำสั่งที่บันทึกไว้อยู่นอกช่วงที่ใช้ได้ จึงปิดค่านั้นไว้");
    case AgentText::skippedCoolingDown:
        return QStringLiteral("ข้ามคำสั่ง ") + detail +
               QStringLiteral(" — ปุ่มนี้ยังอยู่ในช่วงพัก (ที่ข้ามต่อเนื่องจะไม่บันทึกซ้ำ)");
    case AgentText::skippedPerMinuteCap:
        return QStringLiteral("ข้ามคำสั่ง ") + detail +
               QStringLiteral(" — ครบจำนวนคำสั่งต่อนาทีแล้ว (ที่ข้ามต่อเนื่องจะไม่บันทึกซ้ำ)");
    case AgentText::haltedLine:
        return QStringLiteral("⛔ หยุดด้วยปุ่มหยุดหรือพักอัตโนมัติ");
    case AgentText::showWindowItem:
        return QStringLiteral("แสดงหน้าต่าง");
    case AgentText::startWithDesktop:
        return QStringLiteral("เปิดพร้อมเดสก์ท็อป (ย่อหน้าต่างไว้)");
    case AgentText::startWithDesktopOn:
        return QStringLiteral("จะเปิด Vindaro Agent เมื่อเข้าสู่เดสก์ท็อป");
    case AgentText::startWithDesktopOff:
        return QStringLiteral("จะไม่เปิด Vindaro Agent เองเมื่อเข้าสู่เดสก์ท็อป");
    case AgentText::startWithDesktopFailed:
        return QStringLiteral("ตั้งค่าเปิดพร้อมเดสก์ท็อปไม่สำเร็จ: ") + detail;

    case AgentText::connectionEndedNotice:
        return QStringLiteral("การเชื่อมต่อ Vindaro สิ้นสุด");
    case AgentText::pausedNotice:
        return QStringLiteral("Vindaro Agent พักรับคำสั่ง");
    case AgentText::stoppedNotice:
        return QStringLiteral("Vindaro Agent หยุดแล้ว");
    case AgentText::pinLostNotice:
        return QStringLiteral("หน้าต่างเกมที่ล็อกไว้ถูกปิด");

    case AgentText::restoredSession:
        return QStringLiteral("พบการจับคู่เครื่องนี้แล้ว กดเชื่อมต่อเพื่อใช้งานต่อ");
    case AgentText::restoredLegacyPairing:
        return QStringLiteral("พบข้อมูล Agent รุ่นเดิมของห้อง ") + detail;
    case AgentText::connectingSession:
        return QStringLiteral("กำลังเชื่อม Session ") + detail + QStringLiteral("…");
    case AgentText::connectingLegacyRoom:
        return QStringLiteral("กำลังเชื่อมห้องรุ่นเดิม ") + detail + QStringLiteral("…");
    case AgentText::connectedAdvice:
        return QStringLiteral("เชื่อมต่อสำเร็จ — เปิดเกมและคลิกให้เกมเป็นหน้าต่างหลัก");
    case AgentText::willReconnectSuffix:
        return QStringLiteral(" — จะลองใหม่อัตโนมัติ");
    case AgentText::permissionNotGranted:
        return QStringLiteral("ยังไม่ได้รับสิทธิ์ Accessibility");
    case AgentText::permissionWithdrawn:
        return QStringLiteral("สิทธิ์ Accessibility ถูกปิด จึงหยุดรับคำสั่ง");
    case AgentText::checkingPairingCode:
        return QStringLiteral("กำลังตรวจสอบรหัสจับคู่ 6 หลัก…");
    case AgentText::pairedAndStored:
        return QStringLiteral("จับคู่เครื่องสำเร็จ — Token ถูกเก็บใน Keychain");
    case AgentText::usingLegacyPairing:
        return QStringLiteral("ใช้ข้อมูล Agent รุ่นเดิม — Token ถูกซ่อนจากหน้าจอ");
    case AgentText::paused:
        return QStringLiteral("พักรับคำสั่งแล้ว");
    case AgentText::resumed:
        return QStringLiteral("พร้อมรับคำสั่ง — คลิกกลับเข้าเกมได้เลย");
    case AgentText::agentStopped:
        return QStringLiteral("หยุด Agent แล้ว");
    case AgentText::cleared:
        return QStringLiteral("ล้างการจับคู่และ Token จาก Keychain แล้ว (คงรหัสติดตั้งเครื่องไว้)");
    case AgentText::keychainUnreadable:
        return QStringLiteral("อ่าน Keychain ไม่ได้ — ปลดล็อก Keychain แล้วกดเชื่อมต่อ");
    case AgentText::clearFailed:
        return QStringLiteral("ล้างการจับคู่จาก Keychain ไม่สำเร็จ — ") + detail;
    case AgentText::nothingStored:
        return QStringLiteral("ยังไม่มีการจับคู่ที่เก็บไว้");
    case AgentText::formerPairingKept:
        return QStringLiteral("ยังใช้การจับคู่เดิมที่เก็บไว้");
    case AgentText::saveFailed:
        return QStringLiteral("บันทึกการจับคู่ใหม่ไม่สำเร็จ — ") + detail;
    case AgentText::machineSleeping:
        return QStringLiteral("Mac กำลังพัก — ปล่อยปุ่มทั้งหมดแล้ว");
    case AgentText::screenLocked:
        return QStringLiteral("หน้าจอถูกล็อก — พักรับคำสั่งอัตโนมัติ");
    case AgentText::skippedWhilePaused:
        return QStringLiteral("พักอยู่ จึงข้ามคำสั่ง ") + detail;
    case AgentText::skippedUnsupportedKey:
        return QStringLiteral("ข้ามปุ่มที่ไม่รองรับ: ") + detail;
    case AgentText::commandQueueFull:
        return QStringLiteral("คิวคำสั่งเต็ม — ข้าม ") + detail;
    case AgentText::testQueueFull:
        return QStringLiteral("คิวเต็ม กรุณากดหยุดแล้วลองใหม่");

    case AgentText::windowTitle:
        return QStringLiteral("Vindaro Agent for macOS");
    case AgentText::appName:
        return QStringLiteral("Vindaro Agent");
    case AgentText::subtitle:
        return QStringLiteral("Live Gift → Keyboard สำหรับ macOS");
    case AgentText::requestPermissionButton:
        return QStringLiteral("ขอสิทธิ์ Accessibility");
    case AgentText::openSettingsButton:
        return QStringLiteral("เปิดการตั้งค่า");
    case AgentText::instructions:
        return QStringLiteral("1) หน้าเว็บสร้างรหัสจับคู่  2) กรอกตัวเลข 6 หลัก  3) กดจับคู่และเชื่อมต่อ");
    case AgentText::codeField:
        return QStringLiteral("รหัสจับคู่ 6 หลัก");
    case AgentText::pasteButton:
        return QStringLiteral("วาง");
    case AgentText::clearButton:
        return QStringLiteral("ล้าง");
    case AgentText::connectButton:
        return QStringLiteral("จับคู่และเชื่อมต่อ");
    case AgentText::stopButton:
        return QStringLiteral("หยุดทันที");
    case AgentText::testButton:
        return QStringLiteral("ทดสอบ SPACE");
    case AgentText::warning:
        return QStringLiteral(
            "ขณะพร้อมเล่น คำสั่งจะถูกส่งไปยังแอปที่กำลังใช้งานอยู่ กด “หยุดทันที” ก่อนพิมพ์รหัสผ่านหรือเปลี่ยนหน้าต่าง");
    case AgentText::logTitle:
        return QStringLiteral("เหตุการณ์ล่าสุด");
    case AgentText::footer:
        return text(AgentText::version, toQString(appVersion)) +
               QStringLiteral(" • Pairing Protocol v") + QString::number(pairingProtocolVersion) +
               QStringLiteral(" • Token ไม่แสดงบนหน้าจอและเก็บใน Keychain");
    case AgentText::aboutItem:
        return QStringLiteral("เกี่ยวกับ Vindaro Agent");
    case AgentText::quitItem:
        return QStringLiteral("ออกจาก Vindaro Agent");
    case AgentText::version:
        return QStringLiteral("เวอร์ชัน ") + detail;
    case AgentText::alertButton:
        return QStringLiteral("ตกลง");
    }
    return {};
}

QString credentialsLine(const CredentialKeeper::Report& report,
                        const std::optional<AgentPairing>& pairing) {
    using Stored = CredentialKeeper::Stored;
    using Flow = CredentialKeeper::Flow;
    QString stored;
    switch (report.stored) {
    case Stored::session:
        stored = text(AgentText::restoredSession);
        break;
    case Stored::legacyPairing:
        stored = text(AgentText::restoredLegacyPairing, pairing ? pairing->room() : QString());
        break;
    case Stored::unknown:
        stored = text(AgentText::keychainUnreadable);
        break;
    case Stored::nothing:
        stored = text(AgentText::nothingStored);
        break;
    }
    if (report.flow == Flow::clear)
        return report.error ? text(AgentText::clearFailed, report.error->description())
                            : text(AgentText::cleared);
    if (report.flow == Flow::restore)
        return stored;
    if (!report.error)
        return text(report.flow == Flow::saveSession ? AgentText::pairedAndStored
                                                     : AgentText::usingLegacyPairing);
    const bool kept = report.stored == Stored::session || report.stored == Stored::legacyPairing;
    return text(AgentText::saveFailed, kept ? text(AgentText::formerPairingKept) : stored);
}

} // namespace vindaro
