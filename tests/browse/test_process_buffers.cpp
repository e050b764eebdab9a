// The character-buffer forms of the process runner's start and wait, as
// browse() uses them.

#include "KrProcess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(KrProcessBuffers, ErrorTextIsCutToTheBuffer)
{
    const std::string program = "/nonexistent/" + std::string(200, 'x');
    KrProcess reference;
    std::string full;
    ASSERT_FALSE(reference.StartProcess(program.c_str(), program.c_str(), &full, 0));
    ASSERT_GT(full.size(), 150u);

    char buffer[100];
    std::memset(buffer, '#', sizeof buffer);
    KrProcess process;
    EXPECT_FALSE(process.StartProcess(program.c_str(), program.c_str(), buffer, 100, 0));
    EXPECT_EQ(std::string(buffer), full.substr(0, 99));
    EXPECT_EQ(buffer[99], '\0');

    char single[1] = {'#'};
    EXPECT_FALSE(process.StartProcess(program.c_str(), program.c_str(), single, 1, 0));
    EXPECT_EQ(single[0], '\0');

    // Short texts: strncpy zero-fills the rest of the buffer.
    int exitCode = 0;
    std::memset(buffer, '#', sizeof buffer);
    KrProcess idle;
    EXPECT_FALSE(idle.WaitForProcessToEnd(exitCode, buffer, 100, -1));
    const size_t length = std::strlen(buffer);
    EXPECT_GT(length, 0u);
    for (size_t i = length; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], '\0') << i;
}

TEST(KrProcessBuffers, SuccessLeavesTheBufferUntouched)
{
    char buffer[100];
    std::memset(buffer, '#', sizeof buffer);
    KrProcess process;
    ASSERT_TRUE(process.StartProcess("/bin/true", "/bin/true", buffer, 100, 0));
    int exitCode = -1;
    ASSERT_TRUE(process.WaitForProcessToEnd(exitCode, buffer, 100, -1));
    EXPECT_EQ(exitCode, 0);
    for (char c : buffer)
        ASSERT_EQ(c, '#');
}

}  // namespace
