#include "tests/native/temp_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

TempFolder::TempFolder() {
    char pattern[] = "/tmp/offloader-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempFolder::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream out(Child(name), std::ios::binary);
    out << bytes;
}

void TempFolder::MakeDirectory(const std::string& name) const { std::filesystem::create_directories(Child(name)); }

void TempFolder::CopyFrom(const std::string& source, const std::string& name) const {
    std::filesystem::copy_file(source, Child(name), std::filesystem::copy_options::overwrite_existing);
}

void TempFolder::Remove(const std::string& name) const {
    std::error_code ignored;
    std::filesystem::remove_all(Child(name), ignored);
}

CurrentDirectoryScope::CurrentDirectoryScope(const std::string& path) : saved_(CurrentDirectory()) {
    if (chdir(path.c_str()) != 0) throw std::runtime_error("chdir failed: " + path);
}

CurrentDirectoryScope::~CurrentDirectoryScope() {
    if (chdir(saved_.c_str()) != 0) std::abort();
}

std::string CurrentDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}
