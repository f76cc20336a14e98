#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engines/ValueStore.h"
#include "records/Settings.h"

class QSettings;

namespace brisko::startup {

// The per-user settings store: one INI file, group "Options", every value kept as text.
// The file holds the remembered password too, so it is created readable by its owner only.
// Failures of the store are not reported: a value that cannot be read is absent, a write that
// cannot be made is lost.
class SettingsStore {
public:
    // The file the program uses: $XDG_CONFIG_HOME/Brisko/Brisko.ini (~/.config/Brisko/Brisko.ini).
    static QString DefaultPath();

    explicit SettingsStore(const QString& filePath = DefaultPath());
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    const QString& filePath() const { return m_path; }

    // The text stored under `key`, or `defaultText` when the key is absent. Any text, including
    // control characters, comes back exactly as it was written.
    QString readText(const QString& key, const QString& defaultText = {}) const;

    // Stores `value` under `key`. The file is written by sync() or when the store goes away.
    void writeText(const QString& key, const QString& value);

    // Writes pending changes to the file. False when the file could not be written.
    bool sync();

private:
    void prepareFile();

    QString m_path;
    std::unique_ptr<QSettings> m_settings;
};

// The engines' own values (the remembered password) in the same store: each byte 0 to 255 is kept
// as the character of that code, so any value comes back whole.
class SettingsValueStore : public engines::ValueStore {
public:
    explicit SettingsValueStore(SettingsStore& store) : m_store(store) {}
    std::string ReadValue(const std::string& key) override;
    void WriteValue(const std::string& key, const std::string& value) override;

private:
    SettingsStore& m_store;
};

// The text of a stored number read as a 16-bit signed decimal integer (blanks around it and a sign
// allowed); nothing when it is not such a number or out of range.
std::optional<std::int16_t> ToInt16(const QString& text);

// Reads the ten options in their fixed order, each with its default when absent; an integer whose
// text is not a 16-bit number is left 0. Then, when Newer is 1, Overwrite becomes 1. A SubFolderName
// that the options window would refuse (empty, "." or "..", a forbidden character) is replaced by the
// default; `replacedName`, when given, then receives the stored text.
records::Settings LoadSettings(const SettingsStore& store,
                               std::optional<std::string>* replacedName = nullptr);

// Writes the ten options in their fixed order, integers as decimal text, and syncs the store.
bool SaveSettings(SettingsStore& store, const records::Settings& settings);

} // namespace brisko::startup
