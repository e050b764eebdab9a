// Reader and writer of an instance's configuration store.
//
// File format (one per instance, $KR_REGISTRY_DIR/<instance>.ini):
//   blank lines and lines whose first non-blank is '#' or ';' are ignored;
//   "[Name]" starts a section; "name = value" sets a value of the current
//   section (both trimmed of blanks and tabs; the later of two lines wins);
//   any other line is ignored. LF or CRLF line ends.
// Readers reuse a parsed store while the file's device, inode, size,
// modification and change times stay the same.
#pragma once

#include "KrLibExport.h"

#include <string>

class KRLIB_API KRPlatformInfo {
public:
    KRPlatformInfo();  // focused on KRPI_Focus::getFocus() until told otherwise
    ~KRPlatformInfo();
    KRPlatformInfo(const KRPlatformInfo&) = delete;
    KRPlatformInfo& operator=(const KRPlatformInfo&) = delete;

    void setFocus(const std::string& instance);

    // Non-zero when `name` exists in `section` and its value fits
    // (value length < *length): copies the value and its NUL into `buffer`
    // and stores the value's length in *length. Otherwise 0, the buffer
    // untouched, and getLastErrorMsg() says why.
    int getString(const char* section, const char* name, char* buffer, unsigned int* length);

    // One line: why the last failed call failed.
    const char* getLastErrorMsg() const;

    // Writes (stand-in additions for operators and scripts): replace the file
    // atomically under an exclusive flock of <instance>.ini.lock, keeping
    // every other line as it was. Non-zero on success; 0 with
    // getLastErrorMsg() set when the name or value is refused or the file
    // cannot be written.
    int setString(const char* section, const char* name, const char* value);
    int unsetString(const char* section, const char* name);

    // Full path of the focused instance's store file.
    std::string storePath() const;

private:
    std::string focus_;
    std::string lastError_;
};
