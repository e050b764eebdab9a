#include "KRPI.h"

#include "config_store.h"

#include <cstdlib>
#include <optional>

namespace {

constexpr const char* kPlatformSection = "Platform";
constexpr const char* kDirectoryNames[] = {"OrreryDirectory", "BaseHomeDirectory", "LogFilesDirectory"};

// A directory path without trailing slashes; "/" stays "/".
std::string withoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::shared_ptr<const krlib::ConfigStore> storeOf(const std::string& instance)
{
    const std::string& path = krlib::storePathOf(instance);
    return path.empty() ? nullptr : krlib::loadStore(path).store;
}

std::string directory(const std::string& instance, const char* name)
{
    try {
        const auto store = storeOf(instance);
        const std::optional<std::string_view> value =
            store ? store->find(kPlatformSection, name) : std::nullopt;
        return value ? withoutTrailingSlash(std::string(*value)) : std::string();
    } catch (...) {
        return {};
    }
}

}  // namespace

std::string KRPI_Focus::getFocus()
{
    const char* instance = std::getenv("KR_INSTANCE");
    return instance != nullptr && *instance != '\0' ? instance : "Instance001";
}

KRPI_PlatformBase::KRPI_PlatformBase() : focus_(KRPI_Focus::getFocus()) {}

KRPI_PlatformBase::~KRPI_PlatformBase() = default;

void KRPI_PlatformBase::setFocus(const std::string& instance)
{
    focus_ = instance;
}

std::string KRPI_PlatformBase::getOrreryDirectory() const
{
    return directory(focus_, "OrreryDirectory");
}

std::string KRPI_PlatformBase::getBaseHomeDirectory() const
{
    return directory(focus_, "BaseHomeDirectory");
}

std::string KRPI_PlatformBase::getLogFilesDirectory() const
{
    return directory(focus_, "LogFilesDirectory");
}

int KRPI_PlatformBase::invalidKRPlatform() const
{
    try {
        const auto store = storeOf(focus_);
        if (!store)
            return 1;
        // An empty directory would send every path built on it to "/".
        for (const char* name : kDirectoryNames) {
            const std::optional<std::string_view> value = store->find(kPlatformSection, name);
            if (!value || value->empty())
                return 1;
        }
        return 0;
    } catch (...) {
        return 1;
    }
}

KRPI_CommClient::KRPI_CommClient() = default;

KRPI_CommClient::~KRPI_CommClient() = default;
