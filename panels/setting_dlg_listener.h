#pragma once

// Told that the forward-settings dialog was confirmed with OK; the listener reads the
// dialog's values itself.
class CSettingDlgListener {
  public:
    virtual void notifySettingOk() = 0;

  protected:
    ~CSettingDlgListener() = default;
};
