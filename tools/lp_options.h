// The lp-style print options of quillmesh-peer (-d, -n, -o media=, -o landscape,
// -o sides=) and what they become on the wire: the text property of a PDF job or the
// DEVMODE of an XPS job. Standard library and the paper table only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paper_table.h"

namespace quillmesh::peer {

// DEVMODE duplex values.
enum class Sides : std::int16_t { kOneSided = 1, kLongEdge = 2, kShortEdge = 3 };

// The settings given with lp-style options; each stays empty unless asked for.
struct LpSettings {
  std::optional<std::string> printer;
  std::optional<int> copies;
  const quillmesh::platform::PaperRow* media = nullptr;
  std::optional<bool> landscape;
  std::optional<Sides> sides;

  // True when any print setting (not the printer) was given.
  bool HasPrintSettings() const { return copies || media || landscape || sides; }
};

// Every paper -o media= accepts, in the order the usage lists them. Each is named by its
// lp name, its text property name or, where no paper before it has the same one, its PWG
// (IPP) media name, in any case.
std::span<const quillmesh::platform::PaperRow* const> AcceptedMedia();

// Hands out the value of an option that takes one; empty when the command line ends.
using NextValue = std::function<std::optional<std::string>()>;

// Applies one lp-style argument ("-d NAME", "-dNAME", "-n 2", "-o media=A4",
// "-olandscape"). nullopt when the argument is not one; otherwise an error text
// naming the accepted values, empty on success.
std::optional<std::string> TakeLpOption(const std::string& argument, const NextValue& next_value,
                                        LpSettings& settings);

// The text property of a PDF job ("PageSize:A4;Orientation:Landscape;NumCopies:2;...").
std::string BuildPropertyText(const LpSettings& settings);

// The 220-byte public part of a DEVMODEW with dmFields marking exactly the settings
// given, so the server keeps the printer's own value for every other one.
std::vector<std::uint8_t> BuildDevMode(const LpSettings& settings);

}  // namespace quillmesh::peer
