// KR_getpwnam: entries as /etc/passwd holds them, errno for the rest.

#include "KR_getpwnam.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The fields of `name`'s line in /etc/passwd (empty when there is none).
std::vector<std::string> passwdFields(const std::string& name)
{
    for (const std::string& line : lndbtest::readLines("/etc/passwd")) {
        if (line.rfind(name + ":", 0) != 0)
            continue;
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, ':');)
            fields.push_back(field);
        return fields;
    }
    return {};
}

TEST(KrGetpwnam, FindsExistingUsersAsThePasswordFileHoldsThem)
{
    for (const char* name : {"root", "nobody"}) {
        const std::vector<std::string> fields = passwdFields(name);
        ASSERT_GE(fields.size(), 7u) << name << " is not in /etc/passwd";
        KRPasswdRecord record;
        errno = 0;
        const struct passwd* entry = KR_getpwnam(name, &record);
        ASSERT_NE(entry, nullptr) << name << ": errno " << errno;
        EXPECT_EQ(entry, &record.entry);
        EXPECT_STREQ(entry->pw_name, name);
        EXPECT_EQ(std::to_string(entry->pw_uid), fields[2]);
        EXPECT_EQ(std::to_string(entry->pw_gid), fields[3]);
        EXPECT_EQ(entry->pw_dir, fields[5]);
        EXPECT_EQ(entry->pw_shell, fields[6]);
        // The strings live in the record's own area.
        EXPECT_GE(entry->pw_name, record.strings);
        EXPECT_LT(entry->pw_name, record.strings + sizeof record.strings);
    }
}

TEST(KrGetpwnam, AnswersNullWithErrnoOtherwise)
{
    struct Case {
        const char* name;
        bool withRecord;
        int error;
    };
    const Case cases[] = {
        {"lndb-no-such-user", true, ENOENT},
        {"", true, ENOENT},
        {nullptr, true, EINVAL},
        {"root", false, EINVAL},
    };
    for (const Case& c : cases) {
        KRPasswdRecord record;
        errno = 0;
        EXPECT_EQ(KR_getpwnam(c.name, c.withRecord ? &record : nullptr), nullptr);
        EXPECT_EQ(errno, c.error) << (c.name != nullptr ? c.name : "(null)");
    }
}

}  // namespace
