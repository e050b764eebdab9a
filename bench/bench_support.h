// A throw-away agent installation for the benchmarks: <root>/registry holds
// Instance001.ini naming <root>/install, <root>/home and <root> (logs); the
// environment points the platform at it, and the debug log at <root>.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace lndbbench {

class BenchInstallation {
public:
    BenchInstallation()
    {
        char pattern[] = "/tmp/lndb-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        for (const char* dir : {"/registry", "/install", "/home"})
            std::filesystem::create_directories(root_ + dir);
        std::ofstream(root_ + "/registry/Instance001.ini")
            << "[Platform]\nOrreryDirectory = " << root_ << "/install\n"
            << "BaseHomeDirectory = " << root_ << "/home\nLogFilesDirectory = " << root_ << "\n";
        setenv("KR_REGISTRY_DIR", (root_ + "/registry").c_str(), 1);
        setenv("KR_INSTANCE", "Instance001", 1);
        setenv("KR_DEBUG_LOG", (root_ + "/debug.log").c_str(), 1);
    }
    ~BenchInstallation() { std::filesystem::remove_all(root_); }
    BenchInstallation(const BenchInstallation&) = delete;
    BenchInstallation& operator=(const BenchInstallation&) = delete;

    const std::string& root() const { return root_; }

private:
    std::string root_;
};

}  // namespace lndbbench
