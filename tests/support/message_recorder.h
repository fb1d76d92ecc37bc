#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/qt/dialog_template.h"
#include "platform/qt/message_box.h"

// Stands in for the message boxes: records each request and answers it, by default with
// the box's first button; whileOpen runs inside the box, as the user would act meanwhile.
class MessageRecorder final : public MessageBoxService {
  public:
    MessageRecorder() : previous_(installMessageBoxService(this)) {}
    ~MessageRecorder() { installMessageBoxService(previous_); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    int showMessageBox(const MessageBoxRequest& request) override {
        shown.push_back(request);
        if (whileOpen) {
            whileOpen();
        }
        if (!answers.empty()) {
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return (request.type & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> all;
        for (const MessageBoxRequest& request : shown) {
            all.push_back(request.text);
        }
        return all;
    }

    std::vector<MessageBoxRequest> shown;
    std::deque<int> answers;
    std::function<void()> whileOpen;

  private:
    MessageBoxService* previous_;
};
