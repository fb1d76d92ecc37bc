#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/qt/dialog.h"
#include "settings/forward_config_store.h"

// The options dialog: every setting of one forward beyond its ports and destination (name,
// listen address, who may connect, half-close, timeouts, keepalive, connection log, buffer
// size, further destinations and how they are chosen, the PROXY protocol), each with a
// tooltip that says what it does.
//
// Modal, opened by the panel from the forward-settings dialog. OK checks every field first:
// a value that cannot be used is named in a warning, its field is selected and the dialog
// stays open. A field left as shown keeps its value exactly as loaded, so the caller writes
// only what the user changed. Ownership: holds its own copy of the forward. Thread: UI thread.
class COptionsDlg : public CDialog {
  public:
    explicit COptionsDlg(const ForwardConfig& loaded, QWidget* parent = nullptr);
    ~COptionsDlg() override;

    // The forward as confirmed with OK; as loaded until then.
    const ForwardConfig& result() const { return config_; }

  protected:
    bool OnInitDialog() override;
    void OnOK() override;

  private:
    void showValues();
    void enableRuleEdits();
    bool readValues(ForwardConfig& read);
    bool readRules(int id, const char* field, std::string* list, int& count);
    bool readNumber(int id, const char* field, int low, int high, int& value);
    bool readDestinations(std::vector<Destination>& destinations);
    // Warns about the field's value, selects the field and answers false.
    bool refuse(int id, const char* field, const std::string& value, const std::string& why = {});
    std::string text(int id) const;
    bool unchanged(int id) const { return text(id) == shownTexts_.at(id); }

    ForwardConfig config_;
    // The texts as first shown, to tell a field the user left alone.
    std::map<int, std::string> shownTexts_;
};
