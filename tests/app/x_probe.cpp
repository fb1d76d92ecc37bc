#include "tests/app/x_probe.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> owned(T* reply) {
    return Reply<T>(reply, &std::free);
}

// Deeper than any tree a window manager or a notification area builds.
constexpr int kMostDepth = 8;

}  // namespace

XProbe::XProbe(const std::string& display) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return;
    }
    connection_ = connection;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
}

XProbe::~XProbe() {
    if (connection_ != nullptr) {
        xcb_disconnect(connection_);
    }
}

std::uint32_t XProbe::atom(const std::string& name) {
    auto reply = owned(xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr));
    return reply != nullptr ? reply->atom : static_cast<std::uint32_t>(XCB_ATOM_NONE);
}

std::string XProbe::nameOf(std::uint32_t window) {
    for (const std::uint32_t property : {atom("_NET_WM_NAME"), std::uint32_t{XCB_ATOM_WM_NAME}}) {
        auto reply = owned(xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
            nullptr));
        if (reply != nullptr && xcb_get_property_value_length(reply.get()) > 0) {
            return std::string(
                static_cast<const char*>(xcb_get_property_value(reply.get())),
                static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
        }
    }
    return {};
}

void XProbe::collect(std::uint32_t window, const std::string& name, std::vector<std::uint32_t>& out,
                     int depth) {
    auto tree =
        owned(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
    if (tree == nullptr || depth > kMostDepth) {
        return;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        if (nameOf(children[i]) == name) {
            out.push_back(children[i]);
        }
        collect(children[i], name, out, depth + 1);
    }
}

std::vector<std::uint32_t> XProbe::windowsNamed(const std::string& name) {
    std::vector<std::uint32_t> out;
    if (connected()) {
        collect(root_, name, out, 0);
    }
    return out;
}

bool XProbe::insideWindowNamed(std::uint32_t window, const std::string& name) {
    for (int depth = 0; depth < kMostDepth && connected(); ++depth) {
        auto tree =
            owned(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
        if (tree == nullptr || tree->parent == XCB_WINDOW_NONE || tree->parent == root_) {
            return false;
        }
        window = tree->parent;
        if (nameOf(window) == name) {
            return true;
        }
    }
    return false;
}

bool XProbe::viewable(std::uint32_t window) {
    auto reply = owned(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr));
    return reply != nullptr && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool XProbe::selectionOwned(const std::string& selection) {
    if (!connected()) {
        return false;
    }
    auto reply = owned(xcb_get_selection_owner_reply(
        connection_, xcb_get_selection_owner(connection_, atom(selection)), nullptr));
    return reply != nullptr && reply->owner != XCB_WINDOW_NONE;
}

void XProbe::requestClose(std::uint32_t window) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection_);
}
