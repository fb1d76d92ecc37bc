#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

// Keeps a widget whose content changes at socket speed (the connection count under a storm
// of short connections) from being repainted more often than a person can see: the first
// change after a quiet spell paints at once, later ones within the interval are painted
// together at its end. The widget's text and state are always current; only its pixels
// may lag by up to one interval.
//
// Ownership: does not own the widget. Thread: UI thread.
class RepaintThrottle {
  public:
    RepaintThrottle(QWidget* widget, int intervalMs);
    RepaintThrottle(const RepaintThrottle&) = delete;
    RepaintThrottle& operator=(const RepaintThrottle&) = delete;

    // Call after each change of the widget's content.
    void changed();

  private:
    void release();

    QPointer<QWidget> widget_;
    int intervalMs_;
    QElapsedTimer sincePaint_;
    QTimer timer_;
};
