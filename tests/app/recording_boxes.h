#pragma once

#include <vector>

#include "platform/qt/dialog_template.h"
#include "platform/qt/message_box.h"

// Replaces the message boxes while it lives: records every request and answers OK.
class RecordingBoxes final : public MessageBoxService {
  public:
    RecordingBoxes() : previous_(installMessageBoxService(this)) {}
    ~RecordingBoxes() { installMessageBoxService(previous_); }
    RecordingBoxes(const RecordingBoxes&) = delete;
    RecordingBoxes& operator=(const RecordingBoxes&) = delete;

    int showMessageBox(const MessageBoxRequest& request) override {
        requests.push_back(request);
        return IDOK;
    }

    std::vector<MessageBoxRequest> requests;

  private:
    MessageBoxService* previous_;
};
