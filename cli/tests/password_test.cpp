#include "cli/password.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace corvid1::cli {
namespace {

class PasswordFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvid1-cli-pw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& content, mode_t mode) {
        const std::string path = dir_ + "/" + name;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
        close(fd);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    std::string dir_;
};

std::string text(const SecretText& s) {
    return std::string(s.data(), s.size());
}

TEST_F(PasswordFile, PrivateFileGivesItsFirstLine) {
    SecretText pw;
    std::string error;
    ASSERT_TRUE(readPasswordFile(write("a", "s3cret word\nsecond line\n", 0600), pw, error))
        << error;
    EXPECT_EQ(text(pw), "s3cret word");
    ASSERT_TRUE(readPasswordFile(write("b", "dos\r\n", 0400), pw, error)) << error;
    EXPECT_EQ(text(pw), "dos");
    ASSERT_TRUE(readPasswordFile(write("c", "no line end", 0600), pw, error)) << error;
    EXPECT_EQ(text(pw), "no line end");
    ASSERT_TRUE(readPasswordFile(write("d", "", 0600), pw, error)) << error;
    EXPECT_EQ(text(pw), "");
}

TEST_F(PasswordFile, AnyAccessForGroupOrOthersIsRefused) {
    for (mode_t mode : {0644, 0640, 0604, 0620, 0602, 0601, 0610}) {
        SecretText pw;
        std::string error;
        EXPECT_FALSE(readPasswordFile(write("p", "secret\n", mode), pw, error)) << std::oct << mode;
        EXPECT_NE(error.find("too open"), std::string::npos) << error;
        EXPECT_EQ(pw.size(), 0u);
    }
}

TEST_F(PasswordFile, OnlyRegularFilesOfTheUser) {
    SecretText pw;
    std::string error;
    EXPECT_FALSE(readPasswordFile(dir_ + "/missing", pw, error));
    EXPECT_NE(error.find("missing"), std::string::npos);
    EXPECT_FALSE(readPasswordFile(dir_, pw, error));  // a directory
    EXPECT_FALSE(readPasswordFile("/dev/null", pw, error));
    if (getuid() == 0) {
        const std::string path = write("other", "secret\n", 0600);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(readPasswordFile(path, pw, error));
        EXPECT_NE(error.find("another user"), std::string::npos) << error;
    }
}

TEST_F(PasswordFile, OverlongOrNulHoldingPasswordsAreRefused) {
    SecretText pw;
    std::string error;
    const std::string longest(SecretText::capacity, 'x');
    ASSERT_TRUE(readPasswordFile(write("max", longest + "\n", 0600), pw, error)) << error;
    EXPECT_EQ(pw.size(), SecretText::capacity);
    EXPECT_FALSE(readPasswordFile(write("long", longest + "y\n", 0600), pw, error));
    EXPECT_EQ(pw.size(), 0u);
    EXPECT_FALSE(readPasswordFile(write("nul", std::string("ab\0c\n", 5), 0600), pw, error));
    EXPECT_EQ(pw.size(), 0u);
}

TEST(PasswordEnvironment, ValueIsTakenWipedAndRemoved) {
    ASSERT_EQ(setenv(passwordVariable, "from env", 1), 0);
    char* original = std::getenv(passwordVariable);
    ASSERT_NE(original, nullptr);
    const std::size_t length = std::strlen(original);

    SecretText pw;
    std::string error;
    ASSERT_TRUE(takePasswordFromEnvironment(pw, error)) << error;
    EXPECT_EQ(text(pw), "from env");
    EXPECT_EQ(std::getenv(passwordVariable), nullptr);
    // glibc keeps the strings that setenv allocated, so the old value can be inspected.
    for (std::size_t i = 0; i < length; ++i) EXPECT_EQ(original[i], '\0') << i;

    EXPECT_FALSE(takePasswordFromEnvironment(pw, error));  // unset now
}

TEST(PasswordEnvironment, EmptyValueIsAnEmptyPassword) {
    ASSERT_EQ(setenv(passwordVariable, "", 1), 0);
    SecretText pw;
    std::string error;
    EXPECT_TRUE(takePasswordFromEnvironment(pw, error));
    EXPECT_EQ(pw.size(), 0u);
}

TEST(SecretText, WipeClearsTheWholeBuffer) {
    SecretText pw;
    for (char c : std::string("hunter2")) ASSERT_TRUE(pw.append(c));
    const char* buffer = pw.data();
    pw.wipe();
    EXPECT_EQ(pw.size(), 0u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(buffer[i], '\0');
}

}  // namespace
}  // namespace corvid1::cli
