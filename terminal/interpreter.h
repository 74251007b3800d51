#pragma once

#include <cstddef>

#include "terminal/terminal_screen.h"

namespace corvid1 {

// The interpreter holds the bytes of one incomplete sequence between calls.
inline constexpr int kInputBufferSize = 4096;
inline constexpr char kOverflowMessage[] = "ERROR: VT-100 internal buffer overflow!";
// Both enquiries (ENQ and ESC Z) are answered with these five bytes, whatever the terminal type.
inline constexpr char kAnswerback[] = "vt100";

// Binds the process-wide interpreter to `screen` (nullptr detaches: bytes are then dropped),
// empties the held bytes and calls the screen's resetState. Calling it again resets the
// interpreter, which is how tests start from a clean state.
void attachScreen(TerminalScreen* screen);
TerminalScreen* attachedScreen();

// Feeds a NUL-terminated 8-bit text (nothing after its 0 byte is seen). Returns 0.
int printText(const char* text);

// Feeds `count` bytes of server output, any length; every byte reaches the screen. Returns 0, or
// -1 when a single sequence never completed within kInputBufferSize bytes: then the overflow
// message is written, the held sequence and the rest of this call are dropped, and the next
// call starts afresh.
int feedBytes(const char* bytes, std::size_t count);

// Bytes held for an incomplete sequence (0..kInputBufferSize).
int pendingByteCount();

}  // namespace corvid1
