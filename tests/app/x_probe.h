#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct xcb_connection_t;

// Looks at the windows on an X display the way a window manager would, for tests that run
// the program on a real (virtual) display: which windows there are, by name, whether they
// are mapped, and the close request a window manager sends.
//
// Ownership: owns its connection to the display. Thread: the test's own.
class XProbe {
  public:
    explicit XProbe(const std::string& display);
    ~XProbe();
    XProbe(const XProbe&) = delete;
    XProbe& operator=(const XProbe&) = delete;

    bool connected() const { return connection_ != nullptr; }
    // Every window whose name (_NET_WM_NAME, else WM_NAME) is name, from the root down.
    std::vector<std::uint32_t> windowsNamed(const std::string& name);
    // Whether one of the window's ancestors is named name.
    bool insideWindowNamed(std::uint32_t window, const std::string& name);
    bool viewable(std::uint32_t window);
    // Whether someone owns the selection, e.g. "_NET_SYSTEM_TRAY_S0" for a notification area.
    bool selectionOwned(const std::string& selection);
    // WM_DELETE_WINDOW, as a window manager sends it for the close box.
    void requestClose(std::uint32_t window);
    // The window that has the keyboard.
    std::uint32_t focus();
    // The open popup (a menu: a viewable window the window manager is bypassed for, no
    // tooltip) with the name; 0 for none.
    std::uint32_t popupNamed(const std::string& name);

    // Input as a person gives it (XTEST): the key with the keysym pressed and released,
    // where the keyboard is; a click of the button at a point of the window, by default its
    // middle.
    bool pressKey(std::uint32_t keysym);
    bool click(std::uint32_t window, int button, int x = -1, int y = -1);

  private:
    std::uint32_t atom(const std::string& name);
    std::string nameOf(std::uint32_t window);
    void collect(std::uint32_t window, const std::string& name, std::vector<std::uint32_t>& out,
                 int depth);
    bool fakeInput(int type, int detail, int x = 0, int y = 0);

    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
};
