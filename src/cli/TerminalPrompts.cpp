#include "cli/TerminalPrompts.h"

#include <fstream>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace brisko::cli {

TerminalPrompts::TerminalPrompts(std::vector<std::string> passwords, bool interactive, std::FILE* err)
    : m_passwords(std::move(passwords)), m_interactive(interactive), m_err(err) {}

void TerminalPrompts::messageBox(const std::string& text, engines::MessageIcon) {
    std::fprintf(m_err, "brisko-extract: %s\n", text.c_str());
    std::fflush(m_err);
}

std::string TerminalPrompts::inputBox(const std::string&) {
    if (m_next < m_passwords.size()) {
        return m_passwords[m_next++];
    }
    return m_interactive ? askHidden("Password: ") : std::string();
}

std::string TerminalPrompts::OverwriteAnswer(const std::string& name) {
    if (!m_interactive) {
        return "no";
    }
    for (;;) {
        const std::string answer = askLine("Overwrite " + name + "? [y]es, [n]o, [A]ll, [N]one: ");
        if (answer == "y" || answer == "yes") {
            return "yes";
        }
        if (answer == "n" || answer == "no" || answer.empty()) {
            return "no";
        }
        if (answer == "A" || answer == "all") {
            return "yestoall";
        }
        if (answer == "N" || answer == "none") {
            return "notoall";
        }
    }
}

std::string TerminalPrompts::askLine(const std::string& question) {
    std::fprintf(m_err, "\r\033[K%s", question.c_str());
    std::fflush(m_err);
    std::string line;
    if (!std::getline(std::cin, line)) {
        return {};
    }
    return line;
}

std::string TerminalPrompts::askHidden(const std::string& question) {
    termios saved {};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const std::string answer = askLine(question);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(m_err, "\n");
    }
    return answer;
}

bool ReadPasswordFile(const std::string& path, std::vector<std::string>& passwords) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) { // an empty answer means "no password" to every engine
            passwords.push_back(line);
        }
    }
    return true;
}

} // namespace brisko::cli
