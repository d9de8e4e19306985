// How a render child's reports travel to the server on both systems: each report is a
// frame of its stream byte, its 32-bit length and its text.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/render_process.h"

namespace quillmesh::platform {

inline constexpr std::size_t kRenderFrameHeader = 5;  // stream byte and 32-bit length

// The header of one report's frame.
inline void RenderFrameHeader(RenderStream stream, std::size_t length,
                              unsigned char (&header)[kRenderFrameHeader]) {
  header[0] = static_cast<unsigned char>(stream);
  const auto size = static_cast<std::uint32_t>(length);
  std::memcpy(header + 1, &size, sizeof size);
}

// Cuts the complete frames off the bytes received, leaving an incomplete last one.
inline void TakeRenderFrames(std::string& pending, std::vector<RenderMessage>& messages) {
  std::size_t at = 0;
  while (pending.size() - at >= kRenderFrameHeader) {
    std::uint32_t length = 0;
    std::memcpy(&length, pending.data() + at + 1, sizeof length);
    if (pending.size() - at - kRenderFrameHeader < length) break;
    messages.push_back({static_cast<RenderStream>(pending[at]),
                        pending.substr(at + kRenderFrameHeader, length)});
    at += kRenderFrameHeader + length;
  }
  pending.erase(0, at);
}

}  // namespace quillmesh::platform
