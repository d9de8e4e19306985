// The package's job-level PrintTicket, found through its relationships.
#include "platform/posix/xps/xps_package_ticket.h"

#include <vector>

namespace quillmesh::platform {

namespace {

constexpr std::string_view kPrintTicket = "http://schemas.microsoft.com/xps/2005/06/printticket";
// Markup parts read to find the ticket, and the ticket itself, are small: this bounds
// what a package can make the job hold.
constexpr std::size_t kMaximumPartSize = 1u << 20;

// The relationships part of a part ("Documents/1/_rels/FixedDocument.fdoc.rels").
std::string RelationshipsOf(std::string_view part) {
  const std::string folder = FolderOf(part);
  return folder + "_rels/" + std::string(part.substr(folder.size())) + ".rels";
}

// The part's text, or "" when it cannot be read whole within the size bound.
std::string ReadSmallPart(const ByteSource& archive, const std::vector<ZipEntry>& entries,
                          std::string_view part) {
  std::string data;
  if (ReadZipPart(archive, entries, part, kMaximumPartSize, data) != PartRead::kRead) data.clear();
  return data;
}

}  // namespace

// The value of the attribute inside one element's start tag, or "" when it is absent.
std::string_view AttributeValue(std::string_view tag, std::string_view name) {
  for (std::size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
    const bool startsName = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' ||
                                       tag[at - 1] == '\n' || tag[at - 1] == '\r');
    std::size_t cursor = at + name.size();
    while (cursor < tag.size() && tag[cursor] == ' ') ++cursor;
    if (!startsName || cursor >= tag.size() || tag[cursor] != '=') continue;
    ++cursor;
    while (cursor < tag.size() && tag[cursor] == ' ') ++cursor;
    if (cursor >= tag.size() || (tag[cursor] != '"' && tag[cursor] != '\'')) continue;
    const std::size_t end = tag.find(tag[cursor], cursor + 1);
    if (end == std::string_view::npos) return {};
    return tag.substr(cursor + 1, end - cursor - 1);
  }
  return {};
}

// The part name of a relationship target: an absolute one as it is, a relative one
// under the source folder, with "." and ".." segments resolved; "" when it climbs out.
std::string ResolvePartName(std::string_view target, std::string_view sourceFolder) {
  std::string path = target.empty() || target.front() != '/' ? std::string(sourceFolder) : "";
  path += target;
  std::vector<std::string> segments;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string segment = path.substr(start, end - start);
    if (segment == "..") {
      if (segments.empty()) return {};
      segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string name;
  for (const std::string& segment : segments) name += (name.empty() ? "" : "/") + segment;
  return name;
}

// The folder of a part name, with its trailing "/" ("" at the root).
std::string FolderOf(std::string_view part) {
  const std::size_t slash = part.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(part.substr(0, slash + 1));
}

std::string RelationshipTarget(std::string_view relationships, std::string_view type,
                               std::string_view sourceFolder) {
  for (std::size_t at = relationships.find("<Relationship"); at != std::string_view::npos;
       at = relationships.find("<Relationship", at + 1)) {
    const std::size_t end = relationships.find('>', at);
    if (end == std::string_view::npos) return {};
    const std::string_view tag = relationships.substr(at, end - at);
    if (AttributeValue(tag, "Type") != type) continue;
    const std::string_view target = AttributeValue(tag, "Target");
    if (!target.empty()) return ResolvePartName(target, sourceFolder);
  }
  return {};
}

std::string ReadPackageJobTicket(const ByteSource& archive) {
  std::vector<ZipEntry> entries;
  if (!ReadZipDirectory(archive, entries)) return {};
  const std::string sequence =
      RelationshipTarget(ReadSmallPart(archive, entries, "_rels/.rels"), kFixedRepresentation, "");
  if (sequence.empty()) return {};
  const std::string ticket = RelationshipTarget(
      ReadSmallPart(archive, entries, RelationshipsOf(sequence)), kPrintTicket, FolderOf(sequence));
  return ticket.empty() ? std::string() : ReadSmallPart(archive, entries, ticket);
}

std::string ReadPackageJobTicket(const std::string& xpsPath) {
  FileByteSource archive;
  return archive.Open(xpsPath) ? ReadPackageJobTicket(archive) : std::string();
}

}  // namespace quillmesh::platform
