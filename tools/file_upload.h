// The upload of a job's file: its data frames, a window of them sent ahead of their
// acknowledgements, with the upload's progress on standard error.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "peer_protocol.h"

namespace quillmesh::peer {

// How the data frames go out.
struct UploadPacing {
  std::size_t chunk_size = kMaxPayload;  // data bytes per frame
  std::size_t window = 4;                // frames sent ahead of their acknowledgements
  std::chrono::milliseconds timeout{};   // for each send and acknowledgement
};

// Streams the file as stage-2 frames, up to the window's count of them ahead of their
// acknowledgements; the next chunk is read while the acknowledgements are awaited. At
// least one frame goes out, so an empty file completes the upload too. Returns once
// every data frame is acknowledged.
// The file is read from its current position; path names it in messages.
bool SendFileData(PeerConnection& connection, std::FILE* file, std::uint32_t size,
                  const std::string& path, const UploadPacing& pacing, std::size_t& chunks);

}  // namespace quillmesh::peer
