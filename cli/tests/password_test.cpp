#include "cli/password.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"

namespace corvid1::cli {
namespace {

TEST(PasswordFile, OnlyAPrivateRegularFileGivesItsFirstLine) {
    test::TempDir dir;
    const std::string path = dir.file("pw"), longest(SecretText::capacity, 'x');
    const struct {
        std::string content;
        unsigned mode;
        std::string result;  // the password, or "!" and the reason for the refusal
    } cases[] = {
        {"s3cret word\nsecond line\n", 0600, "s3cret word"},
        {"dos\r\n", 0600, "dos"},
        {"no line end", 0600, "no line end"},
        {"", 0600, ""},
        {longest + "\n", 0600, longest},
        {longest + "x\n", 0600, "!longer than"},
        {std::string("ab\0c\n", 5), 0600, "!NUL"},
        {"secret\n", 0644, "!too open"},
        {"secret\n", 0640, "!too open"},
        {"secret\n", 0604, "!too open"},
        {"secret\n", 0620, "!too open"},
        {"secret\n", 0602, "!too open"},
        {"secret\n", 0601, "!too open"},
        {"secret\n", 0610, "!too open"},
    };
    const auto take = [](const std::string& p, std::string& error) {
        SecretText pw;
        pw.append('?');  // a refusal leaves nothing behind, not even what was there
        const bool ok = readPasswordFile(p, pw, error);
        return ok ? std::string(pw.data(), pw.size()) : "!" + std::to_string(pw.size());
    };
    for (const auto& c : cases) {
        test::writeFile(path, c.content, c.mode);
        std::string error;
        const std::string got = take(path, error);
        if (c.result[0] == '!') {
            EXPECT_EQ(got, "!0") << std::oct << c.mode;
            EXPECT_NE(error.find(c.result.substr(1)), std::string::npos) << error;
        } else {
            EXPECT_EQ(got, c.result) << error;
        }
    }
    std::string error;
    EXPECT_EQ(take(dir.file("missing"), error), "!0");
    EXPECT_EQ(take(dir.path(), error), "!0");
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    if (getuid() == 0) {
        test::writeFile(path, "secret\n", 0600);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_EQ(take(path, error), "!0");
        EXPECT_NE(error.find("another user"), std::string::npos) << error;
    }
}

// Taken or refused, the value is wiped where it was and gone from the environment.
TEST(PasswordEnvironment, ValueIsWipedAndRemovedWhetherTakenOrRefused) {
    const std::string tooLong(SecretText::capacity + 1, 'y');
    const struct {
        std::string value;
        bool taken;
    } cases[] = {{"from env", true}, {"", true}, {tooLong, false}};
    for (const auto& c : cases) {
        ASSERT_EQ(setenv(passwordVariable, c.value.c_str(), 1), 0);
        // glibc keeps the strings that setenv allocated, so the old value can be inspected.
        const char* original = std::getenv(passwordVariable);
        SecretText pw;
        std::string error;
        EXPECT_EQ(takePasswordFromEnvironment(pw, error), c.taken) << error;
        EXPECT_EQ(std::string(pw.data(), pw.size()), c.taken ? c.value : "");
        EXPECT_EQ(error.empty(), c.taken) << error;
        EXPECT_EQ(std::getenv(passwordVariable), nullptr);
        EXPECT_EQ(std::string(original, c.value.size()), std::string(c.value.size(), '\0'));
        EXPECT_FALSE(takePasswordFromEnvironment(pw, error));  // unset: no password from here
    }
}

}  // namespace
}  // namespace corvid1::cli
