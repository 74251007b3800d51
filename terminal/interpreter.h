#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "terminal/terminal_screen.h"

namespace corvid1 {

// The longest incomplete sequence the interpreter holds; a longer one is abandoned with the
// overflow message.
inline constexpr int kInputBufferSize = 4096;
inline constexpr char kOverflowMessage[] = "ERROR: VT-100 internal buffer overflow!";
// The answer to ENQ, whatever the terminal type.
inline constexpr char kAnswerback[] = "vt100";

// How bytes 128..255 from the host are shown, and how typed and pasted text is sent.
enum class RemoteCharset { Windows1252, Latin1, Utf8 };
inline constexpr RemoteCharset kDefaultRemoteCharset = RemoteCharset::Windows1252;

// Binds the process-wide interpreter to `screen` (nullptr detaches: bytes are then dropped),
// forgets any incomplete sequence and calls the screen's resetState. Calling it again resets the
// interpreter, which is how tests start from a clean state. The remote character set stays.
void attachScreen(TerminalScreen* screen);
TerminalScreen* attachedScreen();

// Feeds a NUL-terminated 8-bit text of the system's own (Windows-1252, line feeds returning the
// carriage too), whatever the remote character set. Returns 0.
int printText(const char* text);

// Feeds `count` bytes of server output, any length, split anywhere. Returns 0, or -1 when a
// sequence grew past kInputBufferSize bytes: the overflow message is written and the rest of
// that sequence is skipped up to its end.
int feedBytes(const char* bytes, std::size_t count);

// Bytes held for an incomplete sequence (0..kInputBufferSize).
int pendingByteCount();

void setRemoteCharset(RemoteCharset charset);
RemoteCharset remoteCharset();
// "windows-1252", "iso-8859-1", "utf-8"; parsing takes these and a few common spellings.
const char* remoteCharsetName(RemoteCharset charset);
bool parseRemoteCharset(std::string_view name, RemoteCharset& charset);
// Typed or pasted text as the host expects it; characters the set lacks become '?'.
std::string encodeForHost(std::u16string_view text, RemoteCharset charset);

// The terminal type chosen at connect: VT52 mode or ANSI (VT100) mode, for the attached screen
// and every screen attached later.
void selectTerminalType(bool vt52);

}  // namespace corvid1
