#pragma once

#include <string>

namespace brisko::engines {

enum class MessageIcon { None, Information, Critical };

// The modal boxes the program shows. The windows implement it; tests script the answers.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A message box with the program's title ("Brisko") as caption and an OK button only; returns
    // when the user has closed it. UTF-8 text.
    virtual void messageBox(const std::string& text, MessageIcon icon) = 0;

    // A modal text-input box with the program's title, the prompt (it may hold a line break) and an
    // empty field whose text stays visible. Returns what was typed; the empty text when the box was
    // cancelled or left empty.
    virtual std::string inputBox(const std::string& prompt) = 0;
};

} // namespace brisko::engines
