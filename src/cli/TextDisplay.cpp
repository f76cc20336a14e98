#include "cli/TextDisplay.h"

#include <algorithm>
#include <unistd.h>

#include "engines/FailureReason.h"

namespace brisko::cli {

namespace {

constexpr int kBarWidth = 24;
constexpr std::size_t kLineWidth = 100;

// The length of the UTF-8 sequence starting at `at`, or 0 when the bytes there are no valid one.
std::size_t utf8Length(const std::string& text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = byte < 0x80 ? 1 : (byte & 0xE0) == 0xC0 ? 2 : (byte & 0xF0) == 0xE0 ? 3
                                                : (byte & 0xF8) == 0xF0  ? 4
                                                                         : 0;
    if (length == 0 || at + length > text.size() || (length == 2 && byte < 0xC2)) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

} // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8Length(text, i);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string PrintableText(const std::string& text) {
    std::string out = text;
    std::replace_if(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; },
                    '?');
    return out;
}

TextDisplay::TextDisplay(records::ProcessState& state, const volatile std::sig_atomic_t& stopSignal, bool quiet,
                         bool json, std::FILE* out, std::FILE* err)
    : m_state(state), m_stopSignal(stopSignal), m_quiet(quiet), m_json(json),
      m_terminal(::isatty(::fileno(err)) == 1), m_out(out), m_err(err) {}

TextDisplay::~TextDisplay() {
    clearProgress();
}

void TextDisplay::setCurrentZipfile(const std::string&) {}

void TextDisplay::setStatus(const std::string& text) {
    m_status = text;
    if (m_terminal) {
        drawProgress();
    }
}

void TextDisplay::ProgBar(long currAmt, long maxAmt, bool showPercent) {
    // The run's bar counts archives; the engines' own bars (percent) count bytes of one archive.
    if (!showPercent) {
        m_done = std::clamp(currAmt - 1, 0L, maxAmt);
        m_count = maxAmt;
    }
}

void TextDisplay::processEvents() {
    if (m_stopSignal != 0) {
        m_state.result.CancelRequested = records::kTrue;
    }
}

void TextDisplay::beginArchive(const std::string& path) {
    if (onBeginArchive) {
        onBeginArchive();
    }
    m_archive = path;
    m_status.clear();
    if (m_quiet) {
        return;
    }
    if (m_terminal) {
        drawProgress();
    } else {
        std::fprintf(m_err, "extracting %s\n", PrintableText(path).c_str());
        std::fflush(m_err);
    }
}

void TextDisplay::drawProgress() {
    if (m_quiet || !m_terminal || m_archive.empty()) {
        return;
    }
    const int filled = m_count > 0 ? static_cast<int>(kBarWidth * m_done / m_count) : 0;
    std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                       std::to_string(m_done + 1) + "/" + std::to_string(std::max(m_count, 1L)) + " " +
                       PrintableText(m_archive.substr(m_archive.rfind('/') + 1));
    if (!m_status.empty()) {
        line += "  " + PrintableText(m_status);
    }
    if (line.size() > kLineWidth) {
        line.resize(kLineWidth);
    }
    std::fprintf(m_err, "\r%s\033[K", line.c_str());
    std::fflush(m_err);
    m_lineShown = true;
}

void TextDisplay::clearProgress() {
    if (m_lineShown) {
        std::fprintf(m_err, "\r\033[K");
        std::fflush(m_err);
        m_lineShown = false;
    }
}

void TextDisplay::addFailedArchive(const std::string& path, const std::string& reason) {
    ++m_failures;
    outcome(path, false, reason.empty() ? "not extracted" : reason);
}

void TextDisplay::archiveExtracted(const std::string& path) {
    // A RAR or ACE archive stopped between two entries counts as extracted for the window (it is
    // not listed, and not trashed); for a script it is not whole.
    if (m_state.result.CancelRequested != records::kFalse) {
        addFailedArchive(path, engines::kCancelledReason);
        return;
    }
    outcome(path, true, {});
}

void TextDisplay::outcome(const std::string& path, bool extracted, const std::string& reason) {
    clearProgress();
    if (m_json) {
        std::string object = "{\"archive\":" + JsonString(path) + ",\"outcome\":\"" +
                             (extracted ? "extracted" : "failed") + "\"";
        if (!extracted) {
            object += ",\"reason\":" + JsonString(reason);
        }
        std::fprintf(m_out, "%s}\n", object.c_str());
    } else if (extracted) {
        std::fprintf(m_out, "extracted %s\n", PrintableText(path).c_str());
    } else {
        std::fprintf(m_out, "failed %s: %s\n", PrintableText(path).c_str(), PrintableText(reason).c_str());
    }
    std::fflush(m_out);
}

} // namespace brisko::cli
