#include "tests/app/x_probe.h"

#include <sys/uio.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <array>
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

std::uint32_t XProbe::focus() {
    auto reply =
        owned(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    return reply != nullptr ? reply->focus : 0;
}

std::uint32_t XProbe::popupNamed(const std::string& name) {
    const std::uint32_t tooltip = atom("_NET_WM_WINDOW_TYPE_TOOLTIP");
    for (std::uint32_t window : windowsNamed(name)) {
        auto attributes = owned(xcb_get_window_attributes_reply(
            connection_, xcb_get_window_attributes(connection_, window), nullptr));
        auto type = owned(xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 0, window, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 0,
                             1),
            nullptr));
        const bool isTooltip =
            type != nullptr && xcb_get_property_value_length(type.get()) >= 4 &&
            *static_cast<const xcb_atom_t*>(xcb_get_property_value(type.get())) == tooltip;
        auto tree =
            owned(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
        // An icon embedded in the notification area is not a popup.
        if (tree == nullptr || tree->parent != root_) {
            continue;
        }
        if (attributes != nullptr && attributes->override_redirect != 0 &&
            attributes->map_state == XCB_MAP_STATE_VIEWABLE && !isTooltip) {
            return window;
        }
    }
    return 0;
}

bool XProbe::fakeInput(int type, int detail, int x, int y) {
    // XTEST's FakeInput, written out: the library for the extension is not always there.
    constexpr int kFakeInput = 2;
    auto extension = owned(xcb_query_extension_reply(
        connection_, xcb_query_extension(connection_, 5, "XTEST"), nullptr));
    if (extension == nullptr || extension->present == 0) {
        return false;
    }
    std::array<std::uint8_t, 36> request{};
    request[1] = kFakeInput;
    request[4] = static_cast<std::uint8_t>(type);
    request[5] = static_cast<std::uint8_t>(detail);
    std::memcpy(&request[12], &root_, 4);
    const auto rootX = static_cast<std::int16_t>(x);
    const auto rootY = static_cast<std::int16_t>(y);
    std::memcpy(&request[24], &rootX, 2);
    std::memcpy(&request[26], &rootY, 2);
    // xcb_send_request uses the two entries before the request for its own header.
    std::array<iovec, 3> parts{};
    parts[2] = {request.data(), request.size()};
    xcb_protocol_request_t protocol{1, nullptr, extension->major_opcode, 1};
    xcb_send_request(connection_, 0, &parts[2], &protocol);
    return xcb_flush(connection_) > 0;
}

bool XProbe::pressKey(std::uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    auto map = owned(xcb_get_keyboard_mapping_reply(
        connection_,
        xcb_get_keyboard_mapping(connection_, setup->min_keycode, static_cast<std::uint8_t>(count)),
        nullptr));
    if (map == nullptr) {
        return false;
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    for (int i = 0; i < xcb_get_keyboard_mapping_keysyms_length(map.get()); ++i) {
        if (syms[i] == keysym) {
            const int code = setup->min_keycode + i / map->keysyms_per_keycode;
            return fakeInput(XCB_KEY_PRESS, code) && fakeInput(XCB_KEY_RELEASE, code);
        }
    }
    return false;
}

bool XProbe::click(std::uint32_t window, int button, int x, int y) {
    auto geometry =
        owned(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
    auto place = owned(xcb_translate_coordinates_reply(
        connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr));
    if (geometry == nullptr || place == nullptr) {
        return false;
    }
    const int atX = place->dst_x + (x >= 0 ? x : geometry->width / 2);
    const int atY = place->dst_y + (y >= 0 ? y : geometry->height / 2);
    return fakeInput(XCB_MOTION_NOTIFY, 0, atX, atY) && fakeInput(XCB_BUTTON_PRESS, button) &&
           fakeInput(XCB_BUTTON_RELEASE, button);
}
