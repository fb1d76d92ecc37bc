#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <functional>

// While the window is hidden, looks for the notification area every second; once it has
// been gone for the grace time, calls gone, since nothing else could bring the window back.
// A grace of 0 means at the first look that finds it missing.
//
// Ownership: owns its timer; the callbacks must stay valid while it lives. Thread: UI thread.
class CTrayWatch {
  public:
    CTrayWatch(std::function<bool()> areaThere, std::function<void()> gone);
    CTrayWatch(const CTrayWatch&) = delete;
    CTrayWatch& operator=(const CTrayWatch&) = delete;

    void start(int graceMs);
    void stop() { timer_.stop(); }

  private:
    void check();

    std::function<bool()> areaThere_;
    std::function<void()> gone_;
    QTimer timer_;
    QElapsedTimer missing_;
    int graceMs_ = 0;
};
