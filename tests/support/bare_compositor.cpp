#include "bare_compositor.h"

#include "fake-input-server-protocol.h"
#include "virtual-keyboard-unstable-v1-server-protocol.h"

#include <wayland-server.h>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vindaro::test {

namespace {

// The request tables share their names with the interfaces, hence "struct". Keys are taken and
// dropped: a round trip after one is what says it was handled.
const struct zwp_virtual_keyboard_v1_interface keyboardRequests = {
    [](wl_client*, wl_resource*, uint32_t, int32_t fd, uint32_t) { close(fd); },
    [](wl_client*, wl_resource*, uint32_t, uint32_t, uint32_t) {},
    [](wl_client*, wl_resource*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](wl_client*, wl_resource* resource) { wl_resource_destroy(resource); },
};

const struct zwp_virtual_keyboard_manager_v1_interface managerRequests = {
    [](wl_client* client, wl_resource*, wl_resource*, uint32_t id) {
        wl_resource_set_implementation(
            wl_resource_create(client, &zwp_virtual_keyboard_v1_interface, 1, id),
            &keyboardRequests, nullptr, nullptr);
    },
};

void bindManager(wl_client* client, void*, uint32_t, uint32_t id) {
    wl_resource_set_implementation(
        wl_resource_create(client, &zwp_virtual_keyboard_manager_v1_interface, 1, id),
        &managerRequests, nullptr, nullptr);
}

const struct org_kde_kwin_fake_input_interface fakeInputRequests = {
    [](wl_client*, wl_resource*, const char*, const char*) {},
    [](wl_client*, wl_resource*, wl_fixed_t, wl_fixed_t) {},
    [](wl_client*, wl_resource*, uint32_t, uint32_t) {},
    [](wl_client*, wl_resource*, uint32_t, wl_fixed_t) {},
    [](wl_client*, wl_resource*, uint32_t, wl_fixed_t, wl_fixed_t) {},
    [](wl_client*, wl_resource*, uint32_t, wl_fixed_t, wl_fixed_t) {},
    [](wl_client*, wl_resource*, uint32_t) {},
    [](wl_client*, wl_resource*) {},
    [](wl_client*, wl_resource*) {},
    [](wl_client*, wl_resource*, wl_fixed_t, wl_fixed_t) {},
    [](wl_client*, wl_resource*, uint32_t, uint32_t) {},
};

void bindFakeInput(wl_client* client, void*, uint32_t version, uint32_t id) {
    wl_resource_set_implementation(wl_resource_create(client, &org_kde_kwin_fake_input_interface,
                                                      static_cast<int>(version), id),
                                   &fakeInputRequests, nullptr, nullptr);
}

// A seat no client here asks anything of.
void bindSeat(wl_client* client, void*, uint32_t, uint32_t id) {
    wl_resource_create(client, &wl_seat_interface, 1, id);
}

} // namespace

BareCompositor::BareCompositor()
    : m_display(wl_display_create())
    , m_wake(eventfd(0, EFD_CLOEXEC)) {
    m_socket = m_folder.filePath(QStringLiteral("wayland-0")).toStdString();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, m_socket.c_str(), sizeof address.sun_path - 1);
    const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 8) != 0 || wl_display_add_socket_fd(m_display, listening) != 0)
        throw std::runtime_error("cannot listen");
    wl_global_create(m_display, &wl_seat_interface, 1, nullptr, bindSeat);
    m_manager = wl_global_create(m_display, &zwp_virtual_keyboard_manager_v1_interface, 1, nullptr,
                                 bindManager);
    m_fakeInput =
        wl_global_create(m_display, &org_kde_kwin_fake_input_interface, 4, nullptr, bindFakeInput);
    m_wakeSource = wl_event_loop_add_fd(
        wl_display_get_event_loop(m_display), m_wake, WL_EVENT_READABLE,
        [](int fd, uint32_t, void* data) {
            eventfd_t ignored = 0;
            eventfd_read(fd, &ignored);
            auto* self = static_cast<BareCompositor*>(data);
            if (self->m_step == Step::stop) {
                wl_display_terminate(self->m_display);
            } else if (self->m_step == Step::withdraw) {
                wl_global_destroy(self->m_manager);
                wl_global_destroy(self->m_fakeInput);
                self->m_step = Step::withdrawn;
                self->m_step.notify_all();
            }
            return 0;
        },
        this);
    m_loop = std::thread([this] { wl_display_run(m_display); });
}

BareCompositor::~BareCompositor() {
    m_step = Step::stop;
    eventfd_write(m_wake, 1);
    m_loop.join();
    wl_event_source_remove(m_wakeSource);
    wl_display_destroy_clients(m_display);
    wl_display_destroy(m_display);
    close(m_wake);
}

void BareCompositor::withdrawKeyboardManager() {
    m_step = Step::withdraw;
    eventfd_write(m_wake, 1);
    m_step.wait(Step::withdraw);
}

} // namespace vindaro::test
