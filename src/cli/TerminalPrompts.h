#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engines/Dialogs.h"
#include "engines/OverwritePrompt.h"

namespace brisko::cli {

// The engines' questions without a window. A password comes from the password file first (its
// lines tried in order for each archive), then from the terminal with echo off when there is one;
// otherwise nothing, and the archive fails for want of it. The overwrite question is asked on the
// terminal (the run only asks it when there is one). Messages go to standard error.
class TerminalPrompts : public engines::Dialogs, public engines::OverwritePrompt {
public:
    // `interactive`: standard input is a terminal to ask on.
    TerminalPrompts(std::vector<std::string> passwords, bool interactive, std::FILE* err = stderr);

    // A new archive: the password file is tried from its first line again.
    void startArchive() { m_next = 0; }

    void messageBox(const std::string& text, engines::MessageIcon icon) override;
    std::string inputBox(const std::string& prompt) override;
    std::string OverwriteAnswer(const std::string& name) override;

private:
    std::string askHidden(const std::string& question);
    std::string askLine(const std::string& question);

    std::vector<std::string> m_passwords;
    std::size_t m_next = 0;
    bool m_interactive;
    std::FILE* m_err;
};

// The lines of a password file (a final line break optional, "\r\n" taken as one, empty lines left
// out). False when it cannot be read.
bool ReadPasswordFile(const std::string& path, std::vector<std::string>& passwords);

} // namespace brisko::cli
