#pragma once

#include <deque>
#include <string>
#include <vector>

#include "engines/Dialogs.h"

namespace brisko::test {

// Dialogs that record what would have been shown and answer input boxes from a script.
class RecordingDialogs : public engines::Dialogs {
public:
    void messageBox(const std::string& text, engines::MessageIcon) override { messages.push_back(text); }
    std::string inputBox(const std::string& prompt) override {
        prompts.push_back(prompt);
        if (answers.empty()) {
            return {};
        }
        std::string answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<std::string> messages;
    std::vector<std::string> prompts;
    std::deque<std::string> answers; // for inputBox, in order; empty text once they run out
};

} // namespace brisko::test
