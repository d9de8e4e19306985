// The PrintTicket an XPS package carries for the whole job: the one its fixed document
// sequence names through a PrintTicket relationship.
#pragma once

#include <string>
#include <string_view>

#include "platform/posix/xps/zip_archive.h"

namespace quillmesh::platform {

// The package relationship that names the fixed document sequence.
inline constexpr std::string_view kFixedRepresentation =
    "http://schemas.microsoft.com/xps/2005/06/fixedrepresentation";

// The job-level PrintTicket of the package in the archive (XML); "" when the package
// names none, or it, or the parts leading to it, cannot be read.
std::string ReadPackageJobTicket(const ByteSource& archive);

// The same for the package file.
std::string ReadPackageJobTicket(const std::string& xpsPath);

// The value of the attribute inside one element's start tag, or "" when it is absent.
std::string_view AttributeValue(std::string_view tag, std::string_view name);

// The part name of a reference (a relationship target, a document's or page's Source):
// an absolute one as it is, a relative one under the source folder, with "." and ".."
// segments resolved, without a leading "/"; "" when it climbs out.
std::string ResolvePartName(std::string_view target, std::string_view sourceFolder);

// The folder of a part name, with its trailing "/" ("" at the root).
std::string FolderOf(std::string_view part);

// The target of the first relationship of the type in a relationships part, resolved
// against the folder of the part the relationships belong to ("Documents/1/"), without
// a leading "/"; "" when there is none.
std::string RelationshipTarget(std::string_view relationships, std::string_view type,
                               std::string_view sourceFolder);

}  // namespace quillmesh::platform
