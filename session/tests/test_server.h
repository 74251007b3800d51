#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "session/session.h"
#include "test_support.h"

extern char** environ;

namespace corvid1::test {

// A corvid1-test-server on a port it picked, recording what the client sent; ended on going.
class TestServer {
  public:
    explicit TestServer(std::vector<std::string> options, const std::string& name) {
        recordPath_ =
            ::testing::TempDir() + "corvid1_record_" + name + "_" + std::to_string(getpid());
        std::remove(recordPath_.c_str());
        options.insert(options.begin(), {CORVID1_TEST_SERVER, "--record", recordPath_});
        std::vector<char*> argv;
        for (std::string& option : options) argv.push_back(option.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, CORVID1_TEST_SERVER, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        for (char c; read(out[0], &c, 1) == 1 && c != '\n';) line += c;
        close(out[0]);
        if (line.rfind("PORT ", 0) == 0)
            port_ = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
    }
    ~TestServer() {
        if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
        std::remove(recordPath_.c_str());
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const { return port_; }

    // The record lines written so far.
    std::vector<std::string> record() const {
        std::ifstream file(recordPath_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        return lines;
    }
    bool recorded(const std::string& line) const { return recordedPrefix(line, true); }
    bool recordedPrefix(const std::string& prefix, bool whole = false) const {
        for (const std::string& each : record())
            if (each.rfind(prefix, 0) == 0 && (!whole || each.size() == prefix.size())) return true;
        return false;
    }
    // Waits (bounded) until the record holds `line`.
    bool awaitRecord(const std::string& line) const {
        for (int i = 0; i < 1000 && !recorded(line); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return recorded(line);
    }

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string recordPath_;
};

// A session (test/secret, 640x384 pixels) on its own thread, as the application runs it.
class TestClient {
  public:
    using Adjust = std::function<void(LoginParameters&)>;
    TestClient(std::unique_ptr<Connection> connection, int cipher, const Adjust& adjust = {},
               std::shared_ptr<HostKeyVerifier> verifier = {}) {
        login.user = "test", login.password = "secret";
        login.cipherPreference = static_cast<std::uint32_t>(cipher);
        login.widthPixels = 640, login.heightPixels = 384;
        login.seedFilePath = ::testing::TempDir() + "corvid1_client_seed";
        if (adjust) adjust(login);
        session = std::make_shared<Session>(std::move(connection), login, recording);
        if (verifier) session->setHostKeyVerifier(verifier);
        thread_ = std::thread([this, held = session] { result_ = runSession(*held), done_ = true; });
    }
    TestClient(const TestServer& server, int cipher, const Adjust& adjust = {},
               std::shared_ptr<HostKeyVerifier> verifier = {})
        : TestClient(connectedTo(server.port()), cipher, adjust, std::move(verifier)) {}
    ~TestClient() {
        if (session) session->abort();
        if (thread_.joinable()) thread_.join();
    }
    SessionResult finish() {
        if (thread_.joinable()) thread_.join();
        return result_;
    }
    // Waits (bounded) until a status line, or the output, holds `part`.
    bool await(const std::string& part, bool inOutput = false, int seconds = 10) const {
        const auto holds = [&] {
            const auto in = inOutput ? std::vector{recording.output()} : recording.lines();
            return std::any_of(in.begin(), in.end(), [&](auto& s) { return s.find(part) != s.npos; });
        };
        for (int i = 0; i < seconds * 100 && !done_ && !holds(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return holds();
    }
    // Types `text`; true when it comes back in the output (from an echoing shell).
    bool echoes(const std::string& text, int seconds = 10) const {
        type(text.c_str());
        return await(text, true, seconds);
    }
    void type(const char* text) const { sendInput(*session, text, -1); }
    static std::unique_ptr<Connection> connectedTo(std::uint16_t port) {
        auto connection = std::make_unique<Connection>();
        EXPECT_EQ(connection->socket().openConnection("127.0.0.1", port), 1);
        return connection;
    }

    LoginParameters login;
    RecordingFrontEnd recording;
    std::shared_ptr<Session> session;

  private:
    std::thread thread_;
    SessionResult result_;
    std::atomic<bool> done_{false};
};

}  // namespace corvid1::test
