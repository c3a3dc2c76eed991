// Scratch folders for native tests, removed with everything in them.
#pragma once

#include <string>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string Child(const std::string& name) const { return path_ + "/" + name; }
    void WriteFile(const std::string& name, const std::string& bytes) const;
    void MakeDirectory(const std::string& name) const;
    void CopyFrom(const std::string& source, const std::string& name) const;
    void Remove(const std::string& name) const;

private:
    std::string path_;
};

// Changes the current directory and restores the previous one at scope end.
class CurrentDirectoryScope {
public:
    explicit CurrentDirectoryScope(const std::string& path);
    ~CurrentDirectoryScope();
    CurrentDirectoryScope(const CurrentDirectoryScope&) = delete;
    CurrentDirectoryScope& operator=(const CurrentDirectoryScope&) = delete;

private:
    std::string saved_;
};

std::string CurrentDirectory();
