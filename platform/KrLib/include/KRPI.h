// Installation focus and platform directories of the agent.
//
// The configuration store of an instance is $KR_REGISTRY_DIR/<instance>.ini
// (KR_REGISTRY_DIR defaults to /etc/kragent); its [Platform] section names
// the instance's directories. An instance name that cannot name a file in
// that directory (empty, ".", "..", or holding '/') has no store.
#pragma once

#include "KrLibExport.h"

#include <string>

class KRLIB_API KRPI_Focus {
public:
    // $KR_INSTANCE when set and not empty, else "Instance001".
    static std::string getFocus();
};

class KRLIB_API KRPI_PlatformBase {
public:
    KRPI_PlatformBase();  // focused on KRPI_Focus::getFocus() until told otherwise
    virtual ~KRPI_PlatformBase();

    void setFocus(const std::string& instance);
    const std::string& focus() const { return focus_; }

    // Each answers the [Platform] value without a trailing "/", or the empty
    // text when the store or the value is missing.
    std::string getOrreryDirectory() const;     // OrreryDirectory: install directory
    std::string getBaseHomeDirectory() const;   // BaseHomeDirectory
    std::string getLogFilesDirectory() const;   // LogFilesDirectory

    // Non-zero when the instance's store cannot be read or its [Platform]
    // section lacks one of the three directories or has one empty (every path
    // built on an empty directory would land in "/").
    int invalidKRPlatform() const;

private:
    std::string focus_;
};

class KRLIB_API KRPI_CommClient : public KRPI_PlatformBase {
public:
    KRPI_CommClient();
    ~KRPI_CommClient() override;
};
