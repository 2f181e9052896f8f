#include "held_key_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string_view>
#include <utility>
#include <vector>

namespace vindaro {

namespace {

bool writeAll(int file, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(file, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

HeldKeyJournal::HeldKeyJournal(KeyPoster& poster, std::string path)
    : m_poster(poster)
    , m_path(std::move(path)) {}

int HeldKeyJournal::releaseLeftovers(std::chrono::milliseconds limit) {
    if (m_path.empty())
        return 0;
    std::set<VirtualKeyCode> leftovers;
    {
        std::ifstream file(m_path);
        unsigned code = 0;
        while (file >> code) {
            if (code <= 0xffff)
                leftovers.insert(static_cast<VirtualKeyCode>(code));
        }
    }
    {
        // On record as this run's own until their key-ups are confirmed.
        std::scoped_lock lock(m_mutex);
        m_held.insert(leftovers.begin(), leftovers.end());
        save();
    }
    std::vector<std::pair<VirtualKeyCode, KeyTicket>> releases;
    releases.reserve(leftovers.size());
    for (const VirtualKeyCode code : leftovers)
        releases.emplace_back(code, sendKey(code, KeyDirection::up));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<VirtualKeyCode> refused;
    for (const auto& [code, ticket] : releases) {
        if (awaitKey(ticket, deadline) == KeyDelivery::failed)
            refused.push_back(code);
    }
    // A code this poster refuses to release (a key it does not know, say) would be tried by
    // every later run for ever. A release that is only late stays on record, and so does every
    // code while no key can be posted at all: a later run may reach the display.
    if (!refused.empty() && m_poster.mayPostEvents()) {
        std::scoped_lock lock(m_mutex);
        bool dropped = false;
        for (const VirtualKeyCode code : refused) {
            if (!m_lastKeyDown.contains(code))
                dropped = m_held.erase(code) > 0 || dropped;
        }
        if (dropped)
            save();
    }
    return static_cast<int>(leftovers.size());
}

bool HeldKeyJournal::mayPostEvents() {
    return m_poster.mayPostEvents();
}

bool HeldKeyJournal::postKey(VirtualKeyCode code, KeyDirection direction) {
    std::uint64_t order = 0;
    {
        std::scoped_lock lock(m_mutex);
        order = note(code, direction);
    }
    const bool posted = m_poster.postKey(code, direction);
    if (posted && direction == KeyDirection::up) {
        std::scoped_lock lock(m_mutex);
        released(code, order);
    }
    return posted;
}

KeyTicket HeldKeyJournal::sendKey(VirtualKeyCode code, KeyDirection direction) {
    // The lock keeps our order of events the poster's order.
    std::scoped_lock lock(m_mutex);
    const std::uint64_t order = note(code, direction);
    const KeyTicket inner = m_poster.sendKey(code, direction);
    m_sent.emplace(order, Sent{inner, code, direction, order});
    return KeyTicket{order};
}

KeyDelivery HeldKeyJournal::awaitKey(KeyTicket ticket,
                                     std::chrono::steady_clock::time_point deadline) {
    Sent sent{};
    {
        std::scoped_lock lock(m_mutex);
        const auto found = m_sent.find(static_cast<std::uint64_t>(ticket));
        if (found == m_sent.end())
            return KeyDelivery::failed;
        sent = found->second;
    }
    const KeyDelivery delivery = m_poster.awaitKey(sent.inner, deadline);
    if (delivery == KeyDelivery::pending)
        return delivery;
    std::scoped_lock lock(m_mutex);
    m_sent.erase(sent.order);
    if (delivery == KeyDelivery::delivered && sent.direction == KeyDirection::up)
        released(sent.code, sent.order);
    return delivery;
}

void HeldKeyJournal::setPermissionHandler(PermissionHandler handler) {
    m_poster.setPermissionHandler(std::move(handler));
}

std::uint64_t HeldKeyJournal::note(VirtualKeyCode code, KeyDirection direction) {
    const std::uint64_t order = ++m_order;
    if (direction == KeyDirection::down) {
        m_lastKeyDown[code] = order;
        // Written down first: a run that dies right after the key went down must still find it.
        if (m_held.insert(code).second)
            save();
    }
    return order;
}

void HeldKeyJournal::released(VirtualKeyCode code, std::uint64_t order) {
    const auto lastDown = m_lastKeyDown.find(code);
    if (lastDown != m_lastKeyDown.end() && lastDown->second > order)
        return;
    if (m_held.erase(code) > 0)
        save();
}

void HeldKeyJournal::save() {
    if (m_path.empty())
        return;
    if (m_held.empty()) {
        std::remove(m_path.c_str());
        return;
    }
    // A new file put in place of the old one: a run that dies mid-write leaves the previous
    // record whole, never a truncated one.
    std::string text;
    for (const VirtualKeyCode code : m_held)
        text += std::to_string(code) + '\n';
    const std::string fresh = m_path + ".new";
    const int file =
        open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0)
        return;
    const bool written = writeAll(file, text) && fsync(file) == 0;
    if (close(file) != 0 || !written || std::rename(fresh.c_str(), m_path.c_str()) != 0)
        std::remove(fresh.c_str());
}

} // namespace vindaro
