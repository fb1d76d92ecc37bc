#pragma once

// Told that the forward-settings dialog was confirmed with OK, or that its options button was
// pressed; the listener reads the dialog's values itself.
class CSettingDlgListener {
  public:
    virtual void notifySettingOk() = 0;
    // The options button was pressed; the listener opens the options dialog itself.
    virtual void notifyOptions() = 0;

  protected:
    ~CSettingDlgListener() = default;
};
