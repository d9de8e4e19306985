// Conversions between UTF-8 (what peers speak), GBK (code page 936, the narrow
// Windows calls) and UTF-16 (the wide Windows calls). All are re-entrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

// True when the bytes are structurally valid GBK (an empty text is valid).
bool IsGbkText(const char* text, std::uint32_t length);

// Number of leading one-bits of a byte, 0 to 8.
int CountLeadingOnes(unsigned char byte);

// True when every multi-byte sequence has three or more bytes with proper continuations.
// Continuation bytes count only before length: a sequence cut off there is rejected.
bool IsUtf8Text(const char* text, std::uint32_t length);

// The length of the well-formed UTF-8 sequence at the position (1 for ASCII); 0 when
// there is none there: a stray continuation byte, an overlong form, a surrogate, a code
// point past U+10FFFF or a sequence cut short.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

// Converts zero-terminated UTF-8 into GBK, terminator included; the caller provides
// room for the whole result, which is never longer than the source with its terminator.
void Utf8ToGbk(const char* source, char* destination);

// GBK to UTF-8; a converted result keeps its terminating zero byte as its last
// character. Input above 100 bytes yields an empty string; text that is not GBK
// comes back unchanged.
std::string GbkToUtf8(const char* text, std::uint32_t length);

// UTF-8 up to its first zero byte to UTF-16.
WideString Utf8ToWide(const std::string& text);
