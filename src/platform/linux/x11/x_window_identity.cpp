#include "x_window_identity.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vindaro {

namespace {

// How far the searches go: window managers nest a client two or three windows inside its frame.
constexpr int maxAncestors = 64;
constexpr int maxFrameDepth = 4;

struct Probe {
    bool hasWmState = false;
    xcb_window_t parent = XCB_NONE;
    std::vector<xcb_window_t> children;
    std::optional<std::uint32_t> pid;
    std::string wmClass;
};

struct ProbeCookies {
    xcb_get_property_cookie_t wmState;
    xcb_get_property_cookie_t pid;
    xcb_get_property_cookie_t wmClass;
    xcb_query_tree_cookie_t tree;
};

// Sent together and read together, so that probing a window costs one round trip and probing
// all children of a frame one more.
ProbeCookies sendProbe(XConnection& x, xcb_window_t window) {
    xcb_connection_t* c = x.get();
    return {xcb_get_property(c, 0, window, x.atom(XAtom::wmState), XCB_GET_PROPERTY_TYPE_ANY, 0, 0),
            xcb_get_property(c, 0, window, x.atom(XAtom::netWmPid), XCB_ATOM_CARDINAL, 0, 1),
            xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
            xcb_query_tree(c, window)};
}

std::optional<Probe> collectProbe(XConnection& x, const ProbeCookies& cookies,
                                  XConnection::Deadline deadline) {
    const auto wmState = x.reply<xcb_get_property_reply_t>(cookies.wmState, deadline);
    const auto pid = x.reply<xcb_get_property_reply_t>(cookies.pid, deadline);
    const auto wmClass = x.reply<xcb_get_property_reply_t>(cookies.wmClass, deadline);
    const auto tree = x.reply<xcb_query_tree_reply_t>(cookies.tree, deadline);
    if (!wmState || !pid || !wmClass || !tree)
        return std::nullopt;
    Probe probe;
    probe.hasWmState = wmState->type != XCB_NONE;
    probe.parent = tree->parent;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    probe.children.assign(children, children + xcb_query_tree_children_length(tree.get()));
    if (pid->format == 32 && xcb_get_property_value_length(pid.get()) >= 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, xcb_get_property_value(pid.get()), sizeof value);
        probe.pid = value;
    }
    if (wmClass->format == 8) {
        const auto* text = static_cast<const char*>(xcb_get_property_value(wmClass.get()));
        probe.wmClass.assign(
            text, static_cast<std::size_t>(xcb_get_property_value_length(wmClass.get())));
    }
    return probe;
}

WindowIdentity identityOf(xcb_window_t window, const Probe& probe) {
    return {window, probe.pid, probe.wmClass};
}

// The first window with WM_STATE among the descendants of a top-level window, level by level;
// XCB_NONE for its window when there is none.
std::optional<WindowIdentity> clientBelow(XConnection& x, std::vector<xcb_window_t> level,
                                          XConnection::Deadline deadline) {
    for (int depth = 0; depth < maxFrameDepth && !level.empty(); ++depth) {
        std::vector<ProbeCookies> cookies;
        cookies.reserve(level.size());
        for (const xcb_window_t window : level)
            cookies.push_back(sendProbe(x, window));
        std::vector<xcb_window_t> next;
        std::optional<WindowIdentity> found;
        for (std::size_t index = 0; index < level.size(); ++index) {
            // Every reply is read, also after a find, so none is left waiting in the queue; a
            // child that vanished meanwhile is simply skipped.
            const auto probe = collectProbe(x, cookies[index], deadline);
            if (!probe)
                continue;
            if (probe->hasWmState && !found)
                found = identityOf(level[index], *probe);
            next.insert(next.end(), probe->children.begin(), probe->children.end());
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        if (found)
            return found;
        level = std::move(next);
    }
    return WindowIdentity{};
}

QString propertyText(xcb_get_property_reply_t& property, xcb_atom_t utf8) {
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(&property));
    const int length = xcb_get_property_value_length(&property);
    if (property.format != 8 || length <= 0)
        return {};
    if (property.type == utf8)
        return QString::fromUtf8(bytes, length);
    if (property.type == XCB_ATOM_STRING)
        return QString::fromLatin1(bytes, length);
    // COMPOUND_TEXT and the like: only plain ASCII reads the same without converting.
    if (std::all_of(bytes, bytes + length, [](char byte) { return byte > 0; }))
        return QString::fromLatin1(bytes, length);
    return {};
}

} // namespace

std::optional<xcb_window_t> keyboardTarget(XConnection& x, XConnection::Deadline deadline) {
    const auto focusCookie = xcb_get_input_focus(x.get());
    const auto pointerCookie = xcb_query_pointer(x.get(), x.root());
    const auto focus = x.reply<xcb_get_input_focus_reply_t>(focusCookie, deadline);
    const auto pointer = x.reply<xcb_query_pointer_reply_t>(pointerCookie, deadline);
    if (!focus || !pointer)
        return std::nullopt;
    if (focus->focus == XCB_NONE)
        return XCB_NONE;
    if (focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT || focus->focus == x.root())
        return pointer->same_screen != 0 ? pointer->child : XCB_NONE;
    return focus->focus;
}

std::optional<WindowIdentity> identifyApplicationWindow(XConnection& x, xcb_window_t window,
                                                        XConnection::Deadline deadline) {
    for (int level = 0; level < maxAncestors; ++level) {
        const auto probe = collectProbe(x, sendProbe(x, window), deadline);
        if (!probe)
            return std::nullopt;
        if (probe->hasWmState)
            return identityOf(window, *probe);
        if (probe->parent == x.root() || probe->parent == XCB_NONE) {
            auto client = clientBelow(x, probe->children, deadline);
            if (client && client->window == XCB_NONE)
                return identityOf(window, *probe);
            return client;
        }
        window = probe->parent;
    }
    return std::nullopt;
}

QString windowTitle(XConnection& x, xcb_window_t window, XConnection::Deadline deadline) {
    const xcb_atom_t utf8 = x.atom(XAtom::utf8String);
    const auto netCookie =
        xcb_get_property(x.get(), 0, window, x.atom(XAtom::netWmName), utf8, 0, 1024);
    const auto nameCookie =
        xcb_get_property(x.get(), 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024);
    const auto netName = x.reply<xcb_get_property_reply_t>(netCookie, deadline);
    const auto name = x.reply<xcb_get_property_reply_t>(nameCookie, deadline);
    QString title = netName ? propertyText(*netName, utf8) : QString();
    if (title.isEmpty() && name)
        title = propertyText(*name, utf8);
    return title;
}

} // namespace vindaro
