#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace vindaro {

// The user's defaults database: small non-secret values kept between launches, per user.
// Reads never fail; a missing or unreadable value reads as absent (text) or 0 (integer).
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    virtual bool contains(const QString& key) const = 0;
    virtual std::optional<QString> string(const QString& key) const = 0;
    virtual qint64 integer(const QString& key) const = 0;

    virtual void setString(const QString& key, const QString& value) = 0;
    virtual void setInteger(const QString& key, qint64 value) = 0;
    virtual void remove(const QString& key) = 0;

    // Writes every change made so far to disk, so a crash right after loses nothing. False when
    // they could not be written (a read-only folder, a full disk): they are then kept in memory
    // only, and lost when the agent quits.
    [[nodiscard]] virtual bool flush() = 0;
};

} // namespace vindaro
