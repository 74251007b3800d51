#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "session/auth/login_methods.h"

class QWidget;

namespace corvid1 {

// The window message that carries a login question (a key's passphrase, a server's challenge)
// from a session thread to the window, next to the host-key question's 1530. `first` points to
// a std::shared_ptr<LoginQuestion> on the sender's stack (valid only until the handler copies
// it), `second` is the connection serial.
inline constexpr int LoginQuestionMessage = 1531;

// One question and its answer. Shared, because the window may still hold it after the sending
// thread has been released (the window was closed with the dialog open); the lock keeps a late
// answer from being written while the sender takes what is there.
struct LoginQuestion {
    bool passphrase = false;  // false: a challenge to answer
    std::string title;
    std::string text;  // the label: the key's name, or the challenge (Windows-1252)
    std::mutex lock;
    bool given = false;
    bool closed = false;  // the sender has taken the answer; nothing more is written
    std::string answer;   // passphrases as UTF-8, responses as Windows-1252
};

// The window's half of the login prompts for one connection: each question goes to the main
// window with the same synchronous send as the host-key question and waits there for the
// user. A window that has gone, a disconnect and a close all answer "nothing given". The
// password comes from the Connect dialog, as before.
class WindowLoginPrompt final : public LoginPrompt {
  public:
    explicit WindowLoginPrompt(int serial) : serial_(serial) {}

    bool passphrase(const std::string& keyFile, const std::string& comment, int attempt,
                    std::string& out) override;
    bool challengeResponse(LoginMethod method, const std::string& challenge,
                           std::string& out) override;

  private:
    bool ask(const std::shared_ptr<LoginQuestion>& question, std::string& out);
    int serial_;
};

// The window's side: shows the passphrase dialog ("passphraseDialog") or the challenge dialog
// ("challengeDialog") for the question `first` points to and stores what was typed. Nothing
// typed is kept anywhere else.
void answerLoginQuestion(QWidget* parent, std::intptr_t first);
// Cancels the dialog that answerLoginQuestion has open, if any (the user disconnected).
void cancelLoginQuestion();

}  // namespace corvid1
