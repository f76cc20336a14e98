#pragma once

#include <functional>
#include <string>

namespace brisko::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object goes.
// path() has no trailing separator.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

// A tmpfs of `mebibytes` mounted on a fresh folder for the object's lifetime, for what only a small
// file system shows (a disk that fills up). Mounting needs root: check mounted() and skip without.
class SmallFileSystem {
public:
    explicit SmallFileSystem(unsigned mebibytes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& path() const { return m_folder.path(); }
    std::string operator/(const std::string& relative) const { return m_folder / relative; }
    // Bytes in use on it now.
    unsigned long long used() const;

private:
    TempDir m_folder;
    bool m_mounted = false;
};

// Creates the file (and its missing parent folders) with the given content.
void WriteFile(const std::string& path, const std::string& content = {});
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path); // without following a final symbolic link

// Runs `body` in a child process under an unprivileged account (uid/gid 65534), for checks that
// root would pass through (unreadable folders). Returns the child's exit status, or -1 when the
// child could not be started. `body` returns the exit status to use.
int RunAsNobody(const std::function<int()>& body);

} // namespace brisko::test
