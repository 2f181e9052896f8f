#include "kwin_key_poster.h"

#include "evdev_key_codes.h"
#include "fake-input-client-protocol.h"
#include "wayland_link.h"

#include <wayland-client.h>

#include <cstring>
#include <utility>

namespace vindaro {

namespace {

const std::string kwinGoneLine = "การเชื่อมต่อกับ KWin ขาดไป จึงส่งคีย์ไม่ได้";
const std::string fakeInputWithdrawnLine = "KWin ถอนสิทธิ์ส่งคีย์ (fake input) ออก จึงส่งคีย์ไม่ได้";

// keyboard_key came with version 4.
constexpr std::uint32_t keyboardVersion = 4;

} // namespace

// The fake input global on a link of its own, and who hears when it can post no more.
class KWinFakeInput {
public:
    explicit KWinFakeInput(EvdevKeyCodes codes)
        : m_codes(std::move(codes)) {}
    ~KWinFakeInput() {
        if (!m_link)
            return;
        m_link->stopReading();
        if (m_input != nullptr)
            org_kde_kwin_fake_input_destroy(m_input);
    }
    KWinFakeInput(const KWinFakeInput&) = delete;
    KWinFakeInput& operator=(const KWinFakeInput&) = delete;

    KWinKeyPoster::Refusal connect(const std::string& displayName) {
        const auto deadline = WaylandLink::Clock::now() + KWinKeyPoster::setupTimeout;
        m_link = WaylandLink::connect(
            displayName,
            {[this](wl_registry* registry, std::uint32_t name, const char* interface,
                    std::uint32_t version) {
                 if (m_input == nullptr && version >= keyboardVersion &&
                     std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0) {
                     m_input = static_cast<org_kde_kwin_fake_input*>(wl_registry_bind(
                         registry, name, &org_kde_kwin_fake_input_interface, keyboardVersion));
                     m_inputName = name;
                 }
             },
             [this](std::uint32_t name) {
                 if (m_input != nullptr && name == m_inputName && m_offered.exchange(false))
                     m_withdrawn = true;
             },
             [this] {
                 if (m_withdrawn.exchange(false))
                     lose(fakeInputWithdrawnLine);
             },
             [this] { lose(kwinGoneLine); }},
            deadline);
        if (!m_link)
            return KWinKeyPoster::Refusal::noDesktop;
        if (m_input == nullptr)
            return KWinKeyPoster::Refusal::notOffered;
        // Without this KWin drops every key in silence.
        org_kde_kwin_fake_input_authenticate(m_input, "Vindaro Agent", "กดคีย์ตามคำสั่งจากผู้ชมไลฟ์สด");
        if (!m_link->roundTrip(deadline))
            return KWinKeyPoster::Refusal::noDesktop;
        m_link->startReading();
        return KWinKeyPoster::Refusal::none;
    }

    bool usable() const { return m_link->alive() && m_offered; }

    bool post(VirtualKeyCode code, KeyDirection direction) {
        const auto evdev = m_codes.code(code);
        const bool down = direction == KeyDirection::down;
        // A key that is down may still come up after the fake input was withdrawn; nothing new
        // goes down.
        if (!evdev || (down && !m_offered))
            return false;
        return m_link->sendConfirmed(
            [&] {
                org_kde_kwin_fake_input_keyboard_key(m_input, *evdev,
                                                     down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                          : WL_KEYBOARD_KEY_STATE_RELEASED);
                return true;
            },
            KWinKeyPoster::confirmationTimeout);
    }

    void setOnLost(KWinKeyPoster::LossHandler handler) {
        std::string alreadyLost;
        {
            std::scoped_lock lock(m_lossMutex);
            m_onLost = handler;
            alreadyLost = m_lossLine;
        }
        if (handler && !alreadyLost.empty())
            handler(alreadyLost);
    }

private:
    void lose(const std::string& line) {
        KWinKeyPoster::LossHandler handler;
        {
            std::scoped_lock lock(m_lossMutex);
            // The first loss is the one to report: a withdrawn fake input and then KWin gone is
            // one story.
            if (!m_lossLine.empty())
                return;
            m_lossLine = line;
            handler = m_onLost;
        }
        if (handler)
            handler(line);
    }

    const EvdevKeyCodes m_codes;
    std::unique_ptr<WaylandLink> m_link;
    org_kde_kwin_fake_input* m_input = nullptr;
    std::uint32_t m_inputName = 0;
    std::atomic<bool> m_offered{true};
    std::atomic<bool> m_withdrawn{false};

    std::mutex m_lossMutex;
    KWinKeyPoster::LossHandler m_onLost;
    std::string m_lossLine;
};

std::unique_ptr<KWinKeyPoster> KWinKeyPoster::connect(const std::string& displayName,
                                                      Refusal& refusal) {
    auto codes = EvdevKeyCodes::standard();
    refusal = Refusal::noDesktop;
    if (!codes)
        return nullptr;
    auto input = std::make_unique<KWinFakeInput>(std::move(*codes));
    refusal = input->connect(displayName);
    if (refusal != Refusal::none)
        return nullptr;
    return std::unique_ptr<KWinKeyPoster>(new KWinKeyPoster(std::move(input)));
}

KWinKeyPoster::KWinKeyPoster(std::unique_ptr<KWinFakeInput> input)
    : m_input(std::move(input)) {}

KWinKeyPoster::~KWinKeyPoster() = default;

bool KWinKeyPoster::mayPostEvents() {
    return m_input->usable();
}

bool KWinKeyPoster::postKey(VirtualKeyCode code, KeyDirection direction) {
    return m_input->post(code, direction);
}

void KWinKeyPoster::setOnLost(LossHandler handler) {
    m_input->setOnLost(std::move(handler));
}

} // namespace vindaro
