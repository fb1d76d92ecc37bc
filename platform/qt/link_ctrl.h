#pragma once

#include <QLabel>
#include <functional>
#include <string>

// Link control: text with "<a>...</a>" marks; a click on a marked part is reported to the
// click handler (the window system's NM_CLICK). Opening anything is up to the handler.
// Ownership: a child widget of its dialog. UI thread.
class CLinkCtrl : public QLabel {
  public:
    explicit CLinkCtrl(const std::string& markedText, QWidget* parent = nullptr);

    void setClickHandler(std::function<void()> handler) { handler_ = std::move(handler); }
    // A click on the link, as the user would make it.
    void click();

  private:
    std::function<void()> handler_;
};
