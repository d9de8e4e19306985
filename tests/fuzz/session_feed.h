// Drives one session over a socket pair with a fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

class PrintService;

// Feeds the bytes to a new session in receives of an input-chosen size (the first
// byte), drains its replies, and ends it as a closed connection would. The session
// prints through the given service.
void FeedSession(const std::uint8_t* data, std::size_t size, PrintService& printService);
