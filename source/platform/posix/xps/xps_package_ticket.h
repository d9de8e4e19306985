// The PrintTicket an XPS package carries for the whole job: the one its fixed document
// sequence names through a PrintTicket relationship.
#pragma once

#include <string>
#include <string_view>

#include "platform/posix/xps/zip_archive.h"

namespace quillmesh::platform {

// The job-level PrintTicket of the package in the archive (XML); "" when the package
// names none, or it, or the parts leading to it, cannot be read.
std::string ReadPackageJobTicket(const ByteSource& archive);

// The same for the package file.
std::string ReadPackageJobTicket(const std::string& xpsPath);

// The target of the first relationship of the type in a relationships part, resolved
// against the folder of the part the relationships belong to ("Documents/1/"), without
// a leading "/"; "" when there is none.
std::string RelationshipTarget(std::string_view relationships, std::string_view type,
                               std::string_view sourceFolder);

}  // namespace quillmesh::platform
