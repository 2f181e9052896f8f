#include "help_settings_opener.h"

#include <QDesktopServices>
#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

namespace vindaro {

namespace {

const char* const helpPage = R"(<!DOCTYPE html>
<html lang="th">
<head>
<meta charset="utf-8">
<title>Vindaro Agent — การอนุญาตให้กดคีย์</title>
<style>
body { font-family: sans-serif; max-width: 40em; margin: 2em auto; padding: 0 1em; line-height: 1.6; }
code { background: #eee; padding: 0 .3em; }
</style>
</head>
<body>
<h1>Vindaro Agent — การอนุญาตให้กดคีย์</h1>
<p>บน Linux ไม่มีหน้าตั้งค่า Accessibility แบบ macOS: Vindaro Agent กดคีย์ผ่านส่วนขยาย
XTEST ของ X server ที่หน้าต่าง Agent แสดงอยู่ จึงพร้อมใช้งานเมื่อเชื่อมต่อจอแสดงผล X ได้และ X server
รองรับ XTEST</p>
<p>ถ้า Agent แสดง “🔴 ต้องอนุญาต Accessibility ก่อน”:</p>
<ol>
<li>เข้าสู่ระบบด้วยเซสชัน X11 (Xorg) — ในเซสชัน Wayland คีย์จะไปถึงเฉพาะแอปที่ทำงานผ่าน XWayland</li>
<li>ตรวจว่าตัวแปร <code>DISPLAY</code> ถูกตั้งค่า และคำสั่ง <code>xdpyinfo</code> แสดง <code>XTEST</code>
ในรายการ extensions</li>
<li>กลับมาที่ Agent แล้วกด “ขอสิทธิ์ Accessibility” อีกครั้ง</li>
</ol>
<p>ขณะพร้อมเล่น คำสั่งจะถูกส่งไปยังแอปที่กำลังใช้งานอยู่ กด “หยุดทันที” ก่อนพิมพ์รหัสผ่านหรือเปลี่ยนหน้าต่าง</p>
</body>
</html>
)";

} // namespace

HelpSettingsOpener::HelpSettingsOpener(QString directory)
    : m_directory(std::move(directory)) {}

QString HelpSettingsOpener::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/vindaro-agent");
}

bool HelpSettingsOpener::openAccessibilitySettings() {
    if (m_directory.isEmpty() || !QDir().mkpath(m_directory))
        return false;
    // Written afresh each time, so the page always matches this version of the agent.
    const QString path = QDir(m_directory).filePath(QStringLiteral("accessibility-help.html"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(helpPage) < 0 || !file.commit())
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace vindaro
