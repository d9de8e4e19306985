// The binary property blob of an XPS job: the document name, then the peer's DEVMODEW,
// each after its 32-bit little-endian length. Reading it logs nothing, so both the
// print path and a description of the job's settings can take it apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/platform.h"

// Size of the public part of a DEVMODEW; a cloud DEVMODE is never shorter.
inline constexpr std::size_t kCloudDevModeMinSize = 220;

// Where the blob's pieces lie, as far as its lengths could be read.
struct CloudBlobLayout {
  enum class Fault {
    kNone,            // the DEVMODE lies wholly inside the blob
    kTooSmall,        // not even the name's length
    kNameOverflow,    // the name, or the DEVMODE's length after it, runs past the end
    kDevModeInvalid,  // the DEVMODE is shorter than its public part or runs past the end
  };
  Fault fault = Fault::kNone;
  std::uint32_t docNameLen = 0;
  std::uint32_t devModeLen = 0;   // read once the name fits
  std::size_t devModeOffset = 0;  // where the DEVMODE starts, once the name fits
};

// The little-endian 32-bit value in the four bytes; the caller checked the bounds.
std::uint32_t ReadUInt32LE(const BYTE* bytes);

// Reads the blob's two lengths and checks them against its size.
CloudBlobLayout ReadCloudBlobLayout(std::string_view property);

// A DEVMODE byte image as a DEVMODEW: its bytes up to the structure's size, zero beyond,
// and dmFields marking only the settings the image holds whole.
DEVMODEW DevModeFromImage(std::span<const BYTE> image);
