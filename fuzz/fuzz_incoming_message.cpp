// Bytes of one relay message along the whole path a key command takes: the relay client's filter,
// the controller's gate (armed), and the real keyboard executor with a recording poster. Output is
// cancelled after every input, which must always leave no key held.
#include "app/agent_app_delegate.h"
#include "fuzz_check.h"
#include "platform/clipboard.h"
#include "platform/fake/manual_stop_key.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/fake/recording_notifications.h"
#include "platform/settings_opener.h"
#include "platform/workspace_notifications.h"
#include "relay/web_socket_client.h"

#include <cstdint>

namespace {

class NoClipboard : public vindaro::Clipboard {
public:
    std::optional<QString> plainText() const override { return std::nullopt; }
};

class NoSettings : public vindaro::SettingsOpener {
public:
    bool openAccessibilitySettings() override { return false; }
};

class NoWorkspace : public vindaro::WorkspaceNotifications {
public:
    void observe(Handlers) override {}
};

// The controller as the relay client sees it once connected and armed. No window and no event
// loop: nothing here opens a connection, the fuzzer plays the client.
struct Agent {
    Agent() {
        controller.webSocketClientConnected(client);
        controller.pauseTapped(); // connected and not armed yet: this arms
        FUZZ_CHECK(controller.isArmed());
    }

    vindaro::RecordingKeyPoster poster;
    vindaro::MemorySecretStore secrets;
    vindaro::MemoryUserDefaults defaults;
    NoClipboard clipboard;
    NoSettings settings;
    NoWorkspace workspace;
    vindaro::UnknownWindowFocus focus;
    vindaro::ManualStopKey stopKey;
    vindaro::RecordingNotifications notifications;
    vindaro::WebSocketClient client;
    vindaro::AgentAppDelegate controller{
        {poster, secrets, defaults, clipboard, settings, workspace, focus, stopKey, notifications}};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Agent agent;
    const auto command = vindaro::WebSocketClient::keyCommandIn(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (command)
        agent.controller.webSocketClientReceived(agent.client, *command);
    // Pause cancels whatever was accepted and releases every key; resuming arms again.
    agent.controller.pauseTapped();
    FUZZ_CHECK(!agent.controller.isArmed());
    FUZZ_CHECK(agent.poster.heldKeys().empty());
    agent.controller.pauseTapped();
    FUZZ_CHECK(agent.controller.isArmed());
    agent.poster.clear();
    return 0;
}
