#pragma once

#include <string>

namespace brisko::engines {

// The "File Already Exists" question for one existing target file. The window implements it;
// tests script it.
class OverwritePrompt {
public:
    virtual ~OverwritePrompt() = default;

    // Shows "Overwrite " + name + "?" modally and returns the answer word: "yes", "no", "yestoall"
    // or "notoall", or the empty text when the window was closed without any button.
    virtual std::string OverwriteAnswer(const std::string& name) = 0;
};

} // namespace brisko::engines
