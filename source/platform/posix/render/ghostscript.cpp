// Ghostscript on Linux: libgs is linked in, so its entry points are fixed at link
// time and the compiler checks that their signatures match the seam's.
#include <ghostscript/iapi.h>

#include "platform/ghostscript.h"

namespace quillmesh::platform {

namespace {

// The seam's hooks have the library's layout; only the pointer types of the memory
// and file arguments differ, and nothing here looks inside them.
int AddFileSystem(void* instance, GhostscriptFileSystem* fileSystem, void* secret) {
  static_assert(sizeof(GhostscriptFileSystem) == sizeof(gsapi_fs_t));
  return gsapi_add_fs(instance, reinterpret_cast<gsapi_fs_t*>(fileSystem), secret);
}

// Paths are handed over as the file system's bytes: the local encoding passes them
// through unchanged.
const GhostscriptApi kLinkedGhostscript = {
    &gsapi_new_instance,        &gsapi_delete_instance,     &gsapi_set_stdio,
    &gsapi_set_poll,            &gsapi_set_arg_encoding,    &gsapi_init_with_args,
    &gsapi_run_file,            &gsapi_run_string,          &gsapi_exit,
    &gsapi_add_control_path,    &gsapi_remove_control_path, &gsapi_purge_control_paths,
    &AddFileSystem,             kGhostscriptArgEncodingLocal,
};

}  // namespace

// The linked library is always there.
const GhostscriptApi* LoadGhostscript() { return &kLinkedGhostscript; }

const GhostscriptLibrarySearch& FindGhostscriptLibrary() {
  static const GhostscriptLibrarySearch linked{"libgs, linked in", {}};
  return linked;
}

// Linux paths are byte strings; the interpreter opens them as given.
std::string GhostscriptText(const std::string& narrowPath) { return narrowPath; }

}  // namespace quillmesh::platform
