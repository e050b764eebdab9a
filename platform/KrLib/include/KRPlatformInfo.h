// Reader and writer of an instance's configuration store.
//
// File format (one per instance, $KR_REGISTRY_DIR/<instance>.ini):
//   blank lines and lines whose first non-blank is '#' or ';' are ignored;
//   "[Name]" starts a section (blanks around the brackets ignored, the name
//   taken as it stands between them); "name = value" sets a value of the
//   current section (name before the first '=', both trimmed of blanks and
//   tabs; the later of two lines wins; lines before the first section belong
//   to none); any other line is ignored. LF or CRLF line ends.
// Readers reuse a parsed store while the file's device, inode, size,
// modification and change times stay the same, and while its change time is
// far enough in the past that a later change cannot carry the same times
// (file times lag the clock by up to one tick).
#pragma once

#include "KrLibExport.h"

#include <string>
#include <vector>

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

    // Every value of `section` (of every section when `section` is null) that
    // takes effect, sections and names each in byte order (a stand-in
    // addition for the lndb command's listing). Non-zero on success; 0 with
    // getLastErrorMsg() set when the store cannot be read.
    struct Value {
        std::string section;
        std::string name;
        std::string value;
    };
    int listValues(const char* section, std::vector<Value>& values);

    // One line: why the last failed call failed (kept until the next failure).
    const char* getLastErrorMsg() const;

    // Writes (stand-in additions for operators and scripts): replace the file
    // atomically (temporary file in the same directory, fsync, rename, fsync
    // of the directory; the old file's mode kept, 0644 for a new file) under
    // an exclusive flock of <instance>.ini.lock, keeping every other line byte
    // for byte. The lock file is created mode 0600, never through a link, and
    // used only when it is a regular file of this process's user; the lock is
    // waited for at most 10 s. Non-zero on success; 0 with getLastErrorMsg()
    // set, and nothing written, when the input is refused, the lock cannot be
    // had or the file cannot be written.
    // Refused, since they could not be read back exactly: empty section or
    // value names; section names holding ']' or a line break; names holding
    // '=' or a line break or beginning with '#', ';' or '['; values holding a
    // line break; any of them beginning or ending with a blank or tab.
    //
    // setString replaces the value of the line that takes effect (the last
    // one for the name), else adds "name = value" after the section's last
    // value, else adds the section at the end of the file (which is created
    // when missing). New lines end in CRLF when the file's lines do.
    int setString(const char* section, const char* name, const char* value);
    // Removes every line of `name` in `section`; non-zero also when there was
    // none.
    int unsetString(const char* section, const char* name);

    // Full path of the focused instance's store file; empty when the focus
    // cannot name a file in the registry directory (see KRPI.h).
    std::string storePath() const;

private:
    int write(const char* section, const char* name, const char* value);
    // Empty on success, else why the write failed.
    std::string writeLocked(const char* section, const char* name, const char* value) const;
    std::string invalidFocusMessage() const;

    std::string focus_;
    std::string lastError_;
};
