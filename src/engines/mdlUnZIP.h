#pragma once

#include <string>

#include "engines/Dialogs.h"
#include "engines/EngineAdapters.h"
#include "engines/OverwritePrompt.h"
#include "engines/ValueStore.h"
#include "platform/DynamicLibrary.h"

namespace brisko::engines {

inline constexpr const char* kZipEngineLibrary = "libunzip32.so";
inline constexpr const char* kPasswordValue = "Bird";
inline constexpr const char* kPasswordPrompt =
    "Please enter the password.\r\n(Note: Password will not be hidden.)";
inline constexpr const char* kZipEngineMissing =
    "Error - UNZIP32.DLL cannot be found. Please re-install Brisko to make sure you have all of the "
    "required files.";

// The ZIP engine adapter: one engine call per archive, answering the engine's questions through its
// callbacks. The engine's callbacks carry no user data, so they are bound to the extraction in hand
// through one pointer: UnzipArchive sets it to this adapter for the length of the engine call and
// clears it on return; a callback that arrives at any other time does nothing and asks the engine to
// go on. Everything runs on the user-interface thread.
class mdlUnZIP : public ZipEngineAdapter {
public:
    mdlUnZIP(Dialogs& dialogs, OverwritePrompt& prompt, ValueStore& store,
             std::string library = kZipEngineLibrary);
    ~mdlUnZIP() override;

    // Extracts state.unzipOptions.lpszZipFN into lpszExtractDir. Engine code 0 sets Succeeded; any
    // other code clears it, and 80 (stopped) also sets CancelRequested. A missing engine library
    // fails the archive (and says so once per process).
    void UnzipArchive(records::ProcessState& state, ProgressDisplay& display) override;

    // The remembered password of ZIP archives, kept scrambled in the settings value "Bird".
    std::string GetRememberedPassword();
    void SaveRememberedPassword(const std::string& password);

    // The engine callbacks, with the engine's calling convention.
    static int OnUnzipPrint(char* text, unsigned long length);
    static int OnUnzipService(const char* entry, unsigned long size);
    static int OnUnzipReplace(char* path);
    static int OnUnzipPassword(char* buffer, int size, const char* prompt, const char* entry);
    static void OnUnzipMessage(unsigned long uncompressed, unsigned long compressed, unsigned factor,
                               unsigned month, unsigned day, unsigned year, unsigned hour, unsigned minute,
                               char c, const char* entry, const char* method, unsigned long crc,
                               char encrypted);

private:
    struct PasswordRequest {
        std::string archive, entry;
    };

    int print(const std::string& text);
    int replace(const std::string& path);
    int password(char* buffer, int size, const std::string& entry);
    int cancelAnswer() const;

    Dialogs& m_dialogs;
    OverwritePrompt& m_prompt;
    ValueStore& m_store;
    std::string m_libraryName;
    platform::DynamicLibrary m_library;
    bool m_toldMissing = false;

    // Set only while the engine runs.
    records::ProcessState* m_state = nullptr;
    ProgressDisplay* m_display = nullptr;

    PasswordRequest m_lastPasswordRequest; // lives for the process
    bool m_passwordDeclined = false;       // lives for one archive
    bool m_passwordTried = false;          // a password was handed over in this archive
};

} // namespace brisko::engines
