#include "session/session_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "terminal/interpreter.h"

namespace corvid1 {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text log holds what the screen shows, in UTF-8, whatever the host's character set and
// however the server's bytes were split between reads.
TEST(SessionLogText, ShowsTheScreensCharactersInUtf8AtEverySplit) {
    struct Case {
        RemoteCharset charset;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {RemoteCharset::Windows1252, "\x80 \xe9\x81\x9b[1mx\r\n", "\xe2\x82\xac \xc3\xa9\xe2\x80\xba[1mx\n"},
        {RemoteCharset::Latin1, "\x80\xa3\xe9\x1b[31;1mred\x1b[m\x1b]0;title\x07.\n",
         "\xc2\xa3\xc3\xa9red.\n"},
        {RemoteCharset::Utf8, "caf\xc3\xa9\t\x7f\x1b(0q\x1b" "c\n", "caf\xc3\xa9\tq\n"},
    };
    const std::string path = testing::TempDir() + "corvid1_log_" + std::to_string(getpid());
    for (const Case& each : cases) {
        setRemoteCharset(each.charset);
        for (std::size_t split = 0; split <= each.in.size(); ++split) {
            SessionLog log;
            std::string error;
            ASSERT_TRUE(log.open(path, SessionLog::Mode::Text, false, "", error))
                << error;
            log.write(each.in.data(), split);
            log.write(each.in.data() + split, each.in.size() - split);
            log.close();
            EXPECT_EQ(readAll(path), each.out)
                << remoteCharsetName(each.charset) << " split at " << split;
        }
    }
    setRemoteCharset(kDefaultRemoteCharset);
    unlink(path.c_str());
}

}  // namespace
}  // namespace corvid1
