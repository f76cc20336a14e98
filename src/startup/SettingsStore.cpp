#include "startup/SettingsStore.h"

#include "batch/ArchiveDestination.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <array>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brisko::startup {

namespace {

const QString kGroup = QStringLiteral("Options/");

using IntField = std::int16_t records::Settings::*;

struct IntKey {
    const char* key;
    IntField field;
    std::int16_t defaultValue;
};

// The integer options with their defaults; SubFolderName sits between SameFolder and
// DeleteOriginals in the stored order (see forEachKey).
constexpr std::array<IntKey, 9> kIntKeys{{
    {"Overwrite", &records::Settings::Overwrite, 1},
    {"Prompt", &records::Settings::Prompt, 0},
    {"Newer", &records::Settings::Newer, 1},
    {"SingleSub", &records::Settings::SingleSub, 1},
    {"SeparateSubs", &records::Settings::SeparateSubs, 0},
    {"SameFolder", &records::Settings::SameFolder, 0},
    {"DeleteOriginals", &records::Settings::DeleteOriginals, 0},
    {"ZipsInZips", &records::Settings::ZipsInZips, 0},
    {"Recurse", &records::Settings::Recurse, 0},
}};

const QString kSubFolderNameKey = QStringLiteral("SubFolderName");
const QString kSubFolderNameDefault = QString::fromLatin1(batch::kDefaultSubFolderName);
constexpr std::size_t kSubFolderNamePosition = 6;

// Visits the ten keys in their stored order: onInt(IntKey) for integers, onText() for SubFolderName.
template <typename OnInt, typename OnText> void forEachKey(OnInt onInt, OnText onText) {
    for (std::size_t i = 0; i < kIntKeys.size(); ++i) {
        if (i == kSubFolderNamePosition) {
            onText();
        }
        onInt(kIntKeys[i]);
    }
}

} // namespace

QString SettingsStore::DefaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Brisko/Brisko.ini");
}

SettingsStore::SettingsStore(const QString& filePath)
    : m_path(filePath), m_settings(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {}

SettingsStore::~SettingsStore() {
    sync();
}

QString SettingsStore::readText(const QString& key, const QString& defaultText) const {
    const QVariant value = m_settings->value(kGroup + key);
    if (!value.isValid()) {
        return defaultText;
    }
    // A hand-edited value with unquoted commas is read by QSettings as a list; it was one text.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

void SettingsStore::writeText(const QString& key, const QString& value) {
    prepareFile();
    m_settings->setValue(kGroup + key, value);
}

bool SettingsStore::sync() {
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

void SettingsStore::prepareFile() {
    // QSettings keeps the permissions of an existing file when it rewrites it (and writes through a
    // link to its target), so creating the file owner-only before the first write means it is never
    // readable by anyone else. A file that exists already keeps the mode its owner gave it.
    const QByteArray native = QFile::encodeName(m_path);
    if (QFileInfo::exists(m_path)) {
        return;
    }
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir(folder).exists()) {
        QDir().mkpath(folder);
        chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    }
    const int fd = open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        fchmod(fd, S_IRUSR | S_IWUSR); // whatever the umask took away
        close(fd);
    }
}

std::string SettingsValueStore::ReadValue(const std::string& key) {
    const QByteArray bytes = m_store.readText(QString::fromStdString(key)).toLatin1();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void SettingsValueStore::WriteValue(const std::string& key, const std::string& value) {
    m_store.writeText(QString::fromStdString(key),
                      QString::fromLatin1(value.data(), static_cast<qsizetype>(value.size())));
    m_store.sync();
}

std::optional<std::int16_t> ToInt16(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok || value < INT16_MIN || value > INT16_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(value);
}

records::Settings LoadSettings(const SettingsStore& store, std::optional<std::string>* replacedName) {
    records::Settings settings;
    forEachKey(
        [&](const IntKey& key) {
            const QString text = store.readText(QLatin1String(key.key), QString::number(key.defaultValue));
            if (const auto value = ToInt16(text)) {
                settings.*key.field = *value;
            }
        },
        [&] {
            settings.SubFolderName = store.readText(kSubFolderNameKey, kSubFolderNameDefault).toStdString();
        });
    if (settings.Newer == 1) {
        settings.Overwrite = 1;
    }
    // A hand-edited name such as ".." or "../x" would send the single subfolder out of the archive's
    // folder: the options window's rule holds for a stored name too.
    if (batch::CheckSubFolderName(settings.SubFolderName) != batch::SubFolderNameVerdict::Valid) {
        if (replacedName != nullptr) {
            *replacedName = settings.SubFolderName;
        }
        settings.SubFolderName = batch::kDefaultSubFolderName;
    }
    return settings;
}

bool SaveSettings(SettingsStore& store, const records::Settings& settings) {
    forEachKey(
        [&](const IntKey& key) {
            store.writeText(QLatin1String(key.key), QString::number(settings.*key.field));
        },
        [&] { store.writeText(kSubFolderNameKey, QString::fromStdString(settings.SubFolderName)); });
    return store.sync();
}

} // namespace brisko::startup
