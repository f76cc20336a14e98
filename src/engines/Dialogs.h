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
};

} // namespace brisko::engines
