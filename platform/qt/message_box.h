#pragma once

#include <string>

class QWidget;

// Message boxes: text, caption, buttons and icon; the answer is the button pressed.
// Every box of the program goes through the installed MessageBoxService, so tests can
// replace it with one that records the request and answers.

inline constexpr unsigned MB_OK = 0x00000000;
inline constexpr unsigned MB_OKCANCEL = 0x00000001;
inline constexpr unsigned MB_YESNO = 0x00000004;
inline constexpr unsigned MB_ICONERROR = 0x00000010;
inline constexpr unsigned MB_ICONQUESTION = 0x00000020;
inline constexpr unsigned MB_ICONWARNING = 0x00000030;
inline constexpr unsigned MB_ICONINFORMATION = 0x00000040;
inline constexpr unsigned MB_TYPEMASK = 0x0000000F;
inline constexpr unsigned MB_ICONMASK = 0x000000F0;

struct MessageBoxRequest {
    QWidget* owner = nullptr;  // not owned; null: the active window
    std::string text;          // UTF-8
    std::string caption;       // UTF-8
    unsigned type = MB_OK;     // buttons | icon
};

class MessageBoxService {
  public:
    // Shows the box, running a nested event loop until it is answered; returns IDOK,
    // IDCANCEL, IDYES or IDNO.
    virtual int showMessageBox(const MessageBoxRequest& request) = 0;

  protected:
    ~MessageBoxService() = default;
};

// Installs a service (not owned) and returns the one it replaces; null restores the
// standard Qt boxes.
MessageBoxService* installMessageBoxService(MessageBoxService* service);

// Without a display nobody can answer a box. When set (the program does on the offscreen
// platform), the standard boxes write "<caption>: <text>" to standard error and return
// their default answer at once: OK, No for a question, Cancel where there is one; owned
// modal dialogs end unseen (CDialog::DoModal). Off by default.
void setAnswerWithoutDisplay(bool on);
bool answersWithoutDisplay();
// True on Qt's platforms without a screen anyone looks at (offscreen, minimal).
bool platformHasNoDisplay();

// The caption of framework boxes: the executable's file name without its extension.
std::string applicationTitle();

// A box with the given caption and type, exactly as asked.
int MessageBoxA(QWidget* owner, const std::string& text, const std::string& caption, unsigned type);

// A framework box: the application's title as caption; without an icon in type, OK boxes
// get the warning icon and Yes/No boxes the question icon.
int AfxMessageBox(const std::string& text, unsigned type = MB_OK);
