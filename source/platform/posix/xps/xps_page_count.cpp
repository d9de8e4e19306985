// The linear page count of an XPS package.
#include "platform/posix/xps/xps_page_count.h"

#include <cctype>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/posix/xps/xps_package_ticket.h"

namespace quillmesh::platform {

namespace {

using Result = XpsPageCount::Result;

// A name in lower case: part names compare without case.
std::string Lower(std::string_view name) {
  std::string lower(name);
  for (char& letter : lower) letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
  return lower;
}

// The part an entry holds data of: its own name, or for a piece ("<part>/[n].piece",
// "<part>/[n].last.piece") the part it is a piece of.
std::string_view PartOfEntry(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string_view::npos || slash + 1 >= name.size() || name[slash + 1] != '[') {
    return name;
  }
  const std::string last = Lower(name.substr(slash + 1));
  return last.ends_with(".piece") ? name.substr(0, slash) : name;
}

// The archive's entries grouped by the part they hold (in lower case), so that each part
// is found at once instead of by a walk over every entry.
class PartIndex {
 public:
  explicit PartIndex(const std::vector<ZipEntry>& entries) {
    for (const ZipEntry& entry : entries) mByPart[Lower(PartOfEntry(entry.name))].push_back(entry);
  }

  // The part's data within the size bound, as ReadZipPart reads it.
  Result Read(const ByteSource& archive, std::string_view part, std::size_t maxPartBytes,
              std::string& data) const {
    if (!part.empty() && part.front() == '/') part.remove_prefix(1);
    const auto found = mByPart.find(Lower(part));
    if (found == mByPart.end()) return Result::kUnreadable;
    switch (ReadZipPart(archive, found->second, part, maxPartBytes, data)) {
      case PartRead::kRead:
        return Result::kCounted;
      case PartRead::kTooLarge:
        return Result::kTooLarge;
      default:
        return Result::kUnreadable;
    }
  }

 private:
  std::unordered_map<std::string, std::vector<ZipEntry>> mByPart;
};

// Calls visit(tag) for the start tag of every element of the name in the markup (the
// tag's text up to its '>'); the name must be followed by a blank, '/' or '>', so that
// "<PageContent.LinkTargets>" is no PageContent.
template <typename Visit>
void ForEachElement(std::string_view markup, std::string_view name, Visit visit) {
  for (std::size_t at = markup.find(name); at != std::string_view::npos;
       at = markup.find(name, at + name.size())) {
    const std::size_t after = at + name.size();
    if (after >= markup.size()) return;
    const char next = markup[after];
    if (next != '/' && next != '>' && !std::isspace(static_cast<unsigned char>(next))) continue;
    const std::size_t end = markup.find('>', after);
    visit(markup.substr(at, (end == std::string_view::npos ? markup.size() : end) - at));
  }
}

// The pages a fixed document's markup names.
long PagesOfDocument(std::string_view markup) {
  long pages = 0;
  ForEachElement(markup, "<PageContent", [&pages](std::string_view) { ++pages; });
  return pages;
}

}  // namespace

XpsPageCount CountPackagePages(const ByteSource& archive, const std::vector<ZipEntry>& entries,
                               long maxPages, std::size_t maxPartBytes) {
  const PartIndex index(entries);
  XpsPageCount count;
  std::string relationships;
  count.result = index.Read(archive, "_rels/.rels", maxPartBytes, relationships);
  if (count.result != Result::kCounted) return count;
  const std::string sequenceName = RelationshipTarget(relationships, kFixedRepresentation, "");
  std::string sequence;
  count.result = index.Read(archive, sequenceName, maxPartBytes, sequence);
  if (count.result != Result::kCounted) return count;
  // A document the sequence names again counts again, but is read only once.
  std::unordered_map<std::string, long> pagesOf;
  std::string markup;
  ForEachElement(sequence, "<DocumentReference", [&](std::string_view tag) {
    if (count.result != Result::kCounted) return;
    const std::string document = ResolvePartName(AttributeValue(tag, "Source"), FolderOf(sequenceName));
    const auto [known, added] = pagesOf.emplace(Lower(document), 0);
    if (added) {
      count.result = document.empty() ? Result::kUnreadable
                                      : index.Read(archive, document, maxPartBytes, markup);
      known->second = PagesOfDocument(markup);
    }
    count.pages += known->second;
    if (count.result == Result::kCounted && count.pages > maxPages) count.result = Result::kOverLimit;
  });
  return count;
}

}  // namespace quillmesh::platform
