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

using test::TempDir;
using test::writeFile;

std::string text(const SecretText& s) {
    return std::string(s.data(), s.size());
}

TEST(PasswordFile, PrivateFileGivesItsFirstLine) {
    TempDir dir;
    const std::string path = dir.file("pw");
    const std::string longest(SecretText::capacity, 'x');
    const struct {
        std::string content;
        std::string password;
    } cases[] = {{"s3cret word\nsecond line\n", "s3cret word"},
                 {"dos\r\n", "dos"},
                 {"no line end", "no line end"},
                 {"", ""},
                 {longest + "\n", longest}};
    for (const auto& c : cases) {
        writeFile(path, c.content, 0600);
        SecretText pw;
        std::string error;
        ASSERT_TRUE(readPasswordFile(path, pw, error)) << error;
        EXPECT_EQ(text(pw), c.password);
    }
}

TEST(PasswordFile, RefusedUnlessPrivateRegularAndSane) {
    TempDir dir;
    const std::string path = dir.file("pw");
    auto refused = [&](const std::string& p, const std::string& reason) {
        SecretText pw;
        std::string error;
        EXPECT_FALSE(readPasswordFile(p, pw, error)) << p;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_EQ(pw.size(), 0u);
    };
    for (unsigned mode : {0644u, 0640u, 0604u, 0620u, 0602u, 0601u, 0610u}) {
        writeFile(path, "secret\n", mode);
        refused(path, "too open");
    }
    writeFile(path, std::string(SecretText::capacity + 1, 'x') + "\n", 0600);
    refused(path, "longer than");
    writeFile(path, std::string("ab\0c\n", 5), 0600);
    refused(path, "NUL");
    refused(dir.file("missing"), "missing");
    refused(dir.path(), "not a regular file");
    if (getuid() == 0) {
        writeFile(path, "secret\n", 0600);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        refused(path, "another user");
    }
}

TEST(PasswordEnvironment, ValueIsTakenThenWipedAndRemoved) {
    ASSERT_EQ(setenv(passwordVariable, "from env", 1), 0);
    char* original = std::getenv(passwordVariable);
    const std::size_t length = std::strlen(original);

    SecretText pw;
    std::string error;
    ASSERT_TRUE(takePasswordFromEnvironment(pw, error)) << error;
    EXPECT_EQ(text(pw), "from env");
    EXPECT_EQ(std::getenv(passwordVariable), nullptr);
    // glibc keeps the strings that setenv allocated, so the old value can be inspected.
    EXPECT_EQ(std::string(original, length), std::string(length, '\0'));
    EXPECT_FALSE(takePasswordFromEnvironment(pw, error));

    ASSERT_EQ(setenv(passwordVariable, "", 1), 0);  // set but empty: an empty password
    EXPECT_TRUE(takePasswordFromEnvironment(pw, error));
    EXPECT_EQ(pw.size(), 0u);
}

}  // namespace
}  // namespace corvid1::cli
