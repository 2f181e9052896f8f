#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

namespace vindaro {

class UserDefaults;

// How often the viewers may press, as the streamer set it: a rest per key after each command
// that was let through, and a cap on commands let through in any sixty seconds. Both are off
// until set. The controller asks it about each command that passed every other check, and tells
// it which ones it queued. Main thread only.
class CommandLimits {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr int maxCooldownMs = 60000;
    static constexpr int minPerMinute = 1;
    static constexpr int maxPerMinute = 600;
    static constexpr std::chrono::seconds capWindow{60};

    // Off when absent.
    struct Settings {
        std::optional<int> cooldownMs;
        std::optional<int> perMinute;
        friend bool operator==(const Settings&, const Settings&) = default;
    };

    enum class Refusal { coolingDown, capReached };

    // Without a clock it reads the steady clock.
    explicit CommandLimits(Clock clock = {});

    static bool cooldownAllowed(qint64 ms) { return ms >= 0 && ms <= maxCooldownMs; }
    static bool perMinuteAllowed(qint64 count) {
        return count >= minPerMinute && count <= maxPerMinute;
    }

    // What the settings file holds. A stored value outside the bounds (an edited file, an older
    // version's) is off, and `outOfBounds` says so, so the streamer can be told.
    struct Stored {
        Settings settings;
        bool outOfBounds = false;
    };
    static Stored stored(const UserDefaults& defaults);
    [[nodiscard]] static bool store(UserDefaults& defaults, const Settings& settings);
    // Typed text: empty is off, anything else must be a whole number within the bounds. False,
    // with `into` left as it was, when the text is refused.
    [[nodiscard]] static bool parseCooldown(const QString& typed, std::optional<int>& into);
    [[nodiscard]] static bool parsePerMinute(const QString& typed, std::optional<int>& into);
    // A limit as its field shows it: empty when off.
    static QString shown(const std::optional<int>& value);

    const Settings& settings() const { return m_settings; }
    // Values outside the bounds are taken as off.
    void set(Settings settings);

    // Why a command for the key may not go now; nothing when it may.
    std::optional<Refusal> refusal(const QString& key);
    // The command for the key was queued: it counts toward the cap and starts the key's rest.
    void accepted(const QString& key);

private:
    Clock m_clock;
    Settings m_settings;
    QHash<QString, std::chrono::steady_clock::time_point> m_lastAccepted;
    std::deque<std::chrono::steady_clock::time_point> m_acceptedInWindow; // oldest first
};

} // namespace vindaro
